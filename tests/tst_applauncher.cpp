#include "AppLauncher.h"
#include "DesktopEntry.h"
#include "TestSupport.h"

using namespace TestSupport;

// Each case has its own folders: the user's applications (XDG_DATA_HOME), two system ones
// (XDG_DATA_DIRS), programs first in PATH, and "marks", where the "mark" program records each
// start (working folder, then its arguments, one a line) in a file named after its first argument.
class AppLauncherTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_home, m_system1, m_system2, m_bin, m_marks, m_mark;
    QByteArray m_path;

    static void writeFile(const QString &path, const QByteArray &bytes, bool executable = false)
    {
        writeAll(path, bytes);
        if (executable)
            QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    }
    static QByteArray entry(const QByteArray &name, const QByteArray &exec, const QByteArray &extra = {})
    {
        return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n" + extra;
    }
    QByteArray markExec(const QByteArray &tag) const { return "\"" + m_mark.toUtf8() + "\" " + tag; }
    QString markFile(const QString &tag) const { return m_marks + u'/' + tag; }
    /// The start recorded as @p tag, once it is there.
    QStringList record(const QString &tag) const
    {
        if (!QTest::qWaitFor([&] { return QFile::exists(markFile(tag)); }, 20000))
            return {QStringLiteral("<never started>")};
        return QString::fromUtf8(readAll(markFile(tag))).split(u'\n', Qt::SkipEmptyParts);
    }
    QString s1(const QString &file = {}) const { return m_system1 + QStringLiteral("/applications/") + file; }

private slots:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kestrin-apps-XXXXXX"));
        m_home = m_root->filePath(QStringLiteral("home"));
        m_system1 = m_root->filePath(QStringLiteral("system one"));
        m_system2 = m_root->filePath(QStringLiteral("system2"));
        m_bin = m_root->filePath(QStringLiteral("bin"));
        m_marks = m_root->filePath(QStringLiteral("marks"));
        QVERIFY(QDir().mkpath(m_bin) && QDir().mkpath(m_marks));
        // A blank in the program's folder: Exec has to quote it.
        m_mark = m_root->filePath(QStringLiteral("program folder/mark"));
        writeFile(m_mark, "#!/bin/sh\nout='" + m_marks.toUtf8() + "'/\"$1\"\n"
                  "{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$out.part\" && mv \"$out.part\" \"$out\"\n", true);
        m_path = qgetenv("PATH");
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(m_system1 + u':' + m_system2));
        qputenv("PATH", QFile::encodeName(m_bin) + ":/usr/bin:/bin");
    }

    void cleanup() { qputenv("PATH", m_path); }

    void folders_data()
    {
        QTest::addColumn<QString>("dataDirs"), QTest::addColumn<QString>("dataHome");
        QTest::addColumn<QStringList>("search"), QTest::addColumn<QString>("user");
        const QStringList defaults{"/usr/local/share/applications", "/usr/share/applications"};
        QTest::newRow("in the given order") << "/b:/a" << "/h/" << QStringList{"/b/applications", "/a/applications"} << "/h/applications";
        QTest::newRow("unset") << "" << "" << defaults << QDir::homePath() + "/.local/share/applications";
        QTest::newRow("relative and repeated dropped") << "rel:/a/:/a::/b" << "rel" << QStringList{"/a/applications", "/b/applications"}
                                                       << QDir::homePath() + "/.local/share/applications";
    }
    void folders()
    {
        QFETCH(QString, dataDirs); QFETCH(QString, dataHome); QFETCH(QStringList, search); QFETCH(QString, user);
        qputenv("XDG_DATA_DIRS", QFile::encodeName(dataDirs));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
        QCOMPARE(AppLauncher::searchFolders(), search);
        QCOMPARE(AppLauncher::idFolders(), QStringList{user} + search);
    }

    void entryFile()
    {
        const std::optional<DesktopEntry> entry = DesktopEntry::parse(
            "# comment\n\n[Desktop Entry]\r\nType = Application\r\nName[de]=Zeichnen\nName=Draw\\sIt\\\\Now\nName=Second\n"
            "NoDisplay=1\nHidden=yes\n  # indented comment\n[Desktop Action new]\nExec=other\n");
        QVERIFY(entry);
        QVERIFY(entry->isApplication());
        QCOMPARE(entry->name(), QStringLiteral("Draw It\\Now")); // the first unlocalised Name, unescaped
        QVERIFY(entry->noDisplay());
        QVERIFY(!entry->isHidden()); // only "true" or "1"
        QVERIFY(!entry->contains(QStringLiteral("Exec"))); // an action's keys are not the entry's
        QVERIFY(!DesktopEntry::parse("Type=Application\nName=No group\nExec=x\n"));
    }

    void execRules_data()
    {
        QTest::addColumn<QByteArray>("exec"), QTest::addColumn<QStringList>("command");
        const QStringList none{"<none>"};
        QTest::newRow("blanks, \\s and quotes") << QByteArray("prog\\sa  \"/opt/my app\"\t--x=\"a b\"c \"\"") << QStringList{"prog", "a", "/opt/my app", "--x=a bc", ""};
        QTest::newRow("escapes inside quotes") << QByteArray("prog \"say \\\\\"hi\\\\\" \\\\$HOME \\\\`id\\\\` a\\\\\\\\b a\\\\qb\"") << QStringList{"prog", "say \"hi\" $HOME `id` a\\b a\\qb"};
        QTest::newRow("shell characters are plain text") << QByteArray("prog a;b $(c) |e >f 'g h'") << QStringList{"prog", "a;b", "$(c)", "|e", ">f", "'g", "h'"};
        QTest::newRow("file codes and unknown ones removed") << QByteArray("prog %f %F --open=%u %U %d %m") << QStringList{"prog", "--open="};
        QTest::newRow("%% %i %c %k") << QByteArray("prog %% %%f 5%%x %i %c %k") << QStringList{"prog", "%", "%f", "5%x", "--icon", "draw", "Test App", "/x/t.desktop"};
        QTest::newRow("unterminated quote") << QByteArray("prog \"a b") << none;
        QTest::newRow("only a code") << QByteArray("%f") << none;
        QTest::newRow("empty program") << QByteArray("\"\" x") << none;
    }
    void execRules()
    {
        QFETCH(QByteArray, exec); QFETCH(QStringList, command);
        const auto parsed = DesktopEntry::parse(entry("Test App", exec, "Icon=draw\n"), QStringLiteral("/x/t.desktop"))->command();
        QCOMPARE(parsed.value_or(QStringList{"<none>"}), command);
    }

    void finding_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("found"); // under the test's root; empty: nothing
        const QString s1 = QStringLiteral("system one/applications/"), s2 = QStringLiteral("system2/applications/");
        const QString home = QStringLiteral("home/applications/");
        QTest::newRow("ID as given") << "textedit" << s2 + "textedit.desktop";
        QTest::newRow("ID capitalised") << "fIREFOX" << s1 + "Firefox.desktop";
        QTest::newRow("partial name: folder order before file order") << "studio" << s1 + "studio-one.desktop";
        QTest::newRow("same ID in a later folder is shadowed") << "zeta other" << QString();
        QTest::newRow("not named *.desktop") << "notes" << QString();
        QTest::newRow("hidden") << "hidden thing" << QString();
        QTest::newRow("NoDisplay not by name") << "quiet" << QString();
        QTest::newRow("NoDisplay by ID") << "nodisplay" << s1 + "nodisplay.desktop";
        QTest::newRow("TryExec not in PATH") << "phantom" << QString();
        QTest::newRow("TryExec in PATH") << "present" << s1 + "present.desktop";
        QTest::newRow("badly quoted Exec") << "badly" << QString();
        QTest::newRow("program not installed") << "missing program" << QString();
        QTest::newRow("subfolder ID") << "sub-deep" << s1 + "sub/deep.desktop";
        QTest::newRow("user's Hidden copy hides the name") << "image viewer" << QString();
        QTest::newRow("user's copy by its name") << "my editor" << home + "editor.desktop";
        QTest::newRow("user's own application by ID") << "private" << home + "private.desktop";
        QTest::newRow("user's own application not by name") << "private notes" << QString();
        QTest::newRow("no way out by a path") << "../evil" << QString();
        QTest::newRow("blank") << "  " << QString();
    }
    void finding()
    {
        QFETCH(QString, name); QFETCH(QString, found);
        const QString s2 = m_system2 + QStringLiteral("/applications/"), home = m_home + QStringLiteral("/applications/");
        const QByteArray mark = markExec("catalogue");
        writeFile(s1("studio-one.desktop"), entry("Audio Studio One", mark));
        writeFile(s1("zeta.desktop"), entry("Zeta Studio", mark));
        writeFile(s2 + "audio-studio.desktop", entry("Audio Studio Pro", mark)); // sorts first, but a later folder
        writeFile(s2 + "zeta.desktop", entry("Zeta Other", mark));
        writeFile(s2 + "textedit.desktop", entry("TextEdit", mark));
        writeFile(s1("Firefox.desktop"), entry("Web Browser", mark));
        writeFile(s1("notes.txt"), entry("Notes Helper", mark));
        writeFile(s1("NOTES.DESKTOP"), entry("Notes Shouting", mark));
        writeFile(s1("hidden.desktop"), entry("Hidden Thing", mark, "Hidden=true\n"));
        writeFile(s1("nodisplay.desktop"), entry("Quiet Helper", mark, "NoDisplay=true\n"));
        writeFile(s1("phantom.desktop"), entry("Phantom App", mark, "TryExec=kestrin-no-such-program\n"));
        writeFile(s1("present.desktop"), entry("Present App", mark, "TryExec=sh\n"));
        writeFile(s1("badquote.desktop"), entry("Badly Quoted", "\"" + m_mark.toUtf8() + " catalogue"));
        writeFile(s1("missing.desktop"), entry("Missing Program", "/nonexistent/program"));
        writeFile(s1("sub/deep.desktop"), entry("Deep Studio", mark));
        writeFile(s1("viewer.desktop"), entry("Image Viewer", mark));
        writeFile(home + "viewer.desktop", "[Desktop Entry]\nHidden=true\n");
        writeFile(s1("editor.desktop"), entry("Text Editor", mark));
        writeFile(home + "editor.desktop", entry("My Editor", mark));
        writeFile(home + "private.desktop", entry("Private Notes", mark));
        writeFile(m_system1 + "/evil.desktop", entry("Evil", mark)); // beside the folder, where no ID may lead
        const QString file = AppLauncher::find(name);
        QCOMPARE(file.isEmpty() ? QString() : QDir(m_root->path()).relativeFilePath(file), found);
        if (found.isEmpty())
            QVERIFY(!AppLauncher::launch(name));
    }

    void listingOrderIsByFileName()
    {
        for (const char *file : {"b", "a", "c"})
            writeFile(s1(QString::fromLatin1(file) + ".desktop"), entry("Studio", markExec(file)));
        QCOMPARE(AppLauncher::find(QStringLiteral("studio")), s1(QStringLiteral("a.desktop")));
    }

    void launchRunsTheEntry()
    {
        writeFile(s1("draw.desktop"), entry("Draw", markExec("draw") + " \"two words\" %U --title=%c %k \"100%%\" %i",
                                            "Icon=draw-icon\nPath=" + m_bin.toUtf8() + "\n"));
        QVERIFY(AppLauncher::launch(QStringLiteral("draw")));
        QCOMPARE(record(QStringLiteral("draw")),
                 (QStringList{m_bin, "draw", "two words", "--title=Draw", s1("draw.desktop"), "100%", "--icon", "draw-icon"}));
    }

    void nothingReachesAShell()
    {
        // Found in PATH; each of these would run `touch` if a shell read the command line or the name.
        QVERIFY(QFile::copy(m_mark, m_bin + "/mark"));
        const QByteArray touch = "touch " + m_marks.toUtf8() + "/injected";
        writeFile(s1("risky.desktop"), entry("Risky `" + touch + "1` $(" + touch + "2)", "mark risky $(" + touch + "3) ;" + touch + "4 %c"));
        QVERIFY(AppLauncher::launch(QStringLiteral("risky `") + QString::fromUtf8(touch) + "1`"));
        QCOMPARE(record(QStringLiteral("risky")).mid(1),
                 (QStringList{"risky", "$(touch", m_marks + "/injected3)", ";touch", m_marks + "/injected4",
                              "Risky `" + QString::fromUtf8(touch) + "1` $(" + QString::fromUtf8(touch) + "2)"}));
        for (const QByteArray &spoken : {"risky; " + touch + "5", "$(" + touch + "6)", "x && " + touch + "7"})
            QVERIFY2(!AppLauncher::launch(QString::fromUtf8(spoken)), spoken.constData());
        QCOMPARE(QDir(m_marks).entryList(QDir::Files), QStringList{"risky"});
    }

    void terminalEntries()
    {
        writeFile(m_bin + "/x-terminal-emulator", "#!/bin/sh\nexec '" + m_mark.toUtf8() + "' terminal \"$@\"\n", true);
        writeFile(s1("top.desktop"), entry("Top", markExec("top") + " -d 1", "Terminal=true\n"));
        QVERIFY(AppLauncher::launch(QStringLiteral("top")));
        QCOMPARE(record(QStringLiteral("terminal")).mid(1), (QStringList{"terminal", "-e", m_mark, "top", "-d", "1"}));

        qputenv("PATH", QFile::encodeName(m_marks)); // no terminal here: cannot be opened
        QVERIFY(AppLauncher::find(QStringLiteral("top")).isEmpty());
        QVERIFY(!AppLauncher::launch(QStringLiteral("top")));
    }

    void startFailureIsFalse()
    {
        // Executable, found, but nothing the system can run.
        writeFile(m_bin + "/not-a-program", QByteArray("\x7f" "ELF garbage", 12), true);
        writeFile(s1("garbage.desktop"), entry("Garbage", "not-a-program"));
        QCOMPARE(AppLauncher::find(QStringLiteral("garbage")), s1(QStringLiteral("garbage.desktop")));
        QVERIFY(!AppLauncher::launch(QStringLiteral("garbage")));
    }
};

KESTRIN_TEST_MAIN(AppLauncherTest)
#include "tst_applauncher.moc"
