#include "AppLauncher.h"
#include "DesktopEntry.h"
#include "TestSupport.h"

#include <QStandardPaths>

using namespace TestSupport;

// Every test gets its own application folders: a user's (XDG_DATA_HOME), two system ones
// (XDG_DATA_DIRS), a folder of programs first in PATH, and a folder where the "mark" program
// records each start: the folder it ran in, then its arguments, one per line, in a file named
// after its first argument.
class AppLauncherTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_home, m_system1, m_system2, m_bin, m_marks, m_mark;
    QByteArray m_path;

    QString apps(const QString &data) const { return data + QStringLiteral("/applications"); }

    static void writeFile(const QString &path, const QByteArray &bytes, bool executable = false)
    {
        writeAll(path, bytes);
        if (executable)
            QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeUser);
    }

    /// A plain application entry; @p extra lines are appended.
    static QByteArray entry(const QByteArray &name, const QByteArray &exec, const QByteArray &extra = {})
    {
        return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n" + extra;
    }

    /// Exec text that runs the mark program with the record name @p tag.
    QByteArray markExec(const QByteArray &tag) const { return "\"" + m_mark.toUtf8() + "\" " + tag; }

    QString markFile(const QString &tag) const { return m_marks + u'/' + tag; }

    /// What the start recorded as @p tag: the working folder, then the arguments.
    QStringList record(const QString &tag) const
    {
        return QString::fromUtf8(readAll(markFile(tag))).split(u'\n', Qt::SkipEmptyParts);
    }

    QString relative(const QString &path) const
    {
        return path.isEmpty() ? QString() : QDir(m_root->path()).relativeFilePath(path);
    }

    /// The fixed set of entries the finding rules are tried on.
    void writeCatalogue()
    {
        const QString s1 = apps(m_system1), s2 = apps(m_system2), home = apps(m_home);
        const QByteArray mark = markExec("catalogue");
        // Folder order beats file-name order: "studio-one" in the first folder wins over
        // "audio-studio" in the second, though it sorts later.
        writeFile(s1 + "/studio-one.desktop", entry("Audio Studio One", mark));
        writeFile(s2 + "/audio-studio.desktop", entry("Audio Studio Pro", mark));
        writeFile(s1 + "/zeta.desktop", entry("Zeta Studio", mark));
        writeFile(s2 + "/zeta.desktop", entry("Zeta Other", mark)); // same ID: hidden by the first
        writeFile(s2 + "/textedit.desktop", entry("TextEdit", mark));
        writeFile(s1 + "/Firefox.desktop", entry("Web Browser", mark));
        // Not desktop entries by their file names.
        writeFile(s1 + "/notes.txt", entry("Notes Helper", mark));
        writeFile(s1 + "/notes.desktop.bak", entry("Notes Backup", mark));
        writeFile(s1 + "/NOTES.DESKTOP", entry("Notes Shouting", mark));
        // Entries that cannot be opened, or are not to be found by name.
        writeFile(s1 + "/hidden.desktop", entry("Hidden Thing", mark, "Hidden=true\n"));
        writeFile(s1 + "/nodisplay.desktop", entry("Quiet Helper", mark, "NoDisplay=true\n"));
        writeFile(s1 + "/link.desktop", "[Desktop Entry]\nType=Link\nName=Web Link\nURL=http://localhost/\n");
        writeFile(s1 + "/ghost.desktop", entry("Ghost App", mark, "TryExec=/nonexistent/ghost\n"));
        writeFile(s1 + "/phantom.desktop", entry("Phantom App", mark, "TryExec=kestrin-no-such-program\n"));
        writeFile(s1 + "/present.desktop", entry("Present App", mark, "TryExec=sh\n"));
        writeFile(s1 + "/noexec.desktop", "[Desktop Entry]\nType=Application\nName=Broken App\n");
        writeFile(s1 + "/badquote.desktop", entry("Badly Quoted", "\"" + m_mark.toUtf8() + " catalogue"));
        writeFile(s1 + "/missing.desktop", entry("Missing Program", "/nonexistent/program"));
        writeFile(s1 + "/typeless.desktop", "[Desktop Entry]\nName=Typeless App\nExec=" + mark + "\n");
        // Below the folder: found by its ID only.
        writeFile(s1 + "/sub/deep.desktop", entry("Deep Studio", mark));
        // The user's copies take the place of the system's entries of the same ID.
        writeFile(s1 + "/viewer.desktop", entry("Image Viewer", mark));
        writeFile(home + "/viewer.desktop", "[Desktop Entry]\nHidden=true\n");
        writeFile(s1 + "/editor.desktop", entry("Text Editor", mark));
        writeFile(home + "/editor.desktop", entry("My Editor", mark));
        // The user's own application: by its ID only.
        writeFile(home + "/private.desktop", entry("Private Notes", mark));
        // Beside the applications folder, where no ID may lead.
        writeFile(m_system1 + "/evil.desktop", entry("Evil", mark));
        writeFile(m_system1 + "/evil-x.desktop", entry("Evil", mark));
    }

private slots:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kestrin-apps-XXXXXX"));
        QVERIFY(m_root->isValid());
        m_home = m_root->filePath(QStringLiteral("home"));
        m_system1 = m_root->filePath(QStringLiteral("system one"));
        m_system2 = m_root->filePath(QStringLiteral("system2"));
        m_bin = m_root->filePath(QStringLiteral("bin"));
        m_marks = m_root->filePath(QStringLiteral("marks"));
        for (const QString &folder : {apps(m_home), apps(m_system1), apps(m_system2), m_bin, m_marks})
            QVERIFY(QDir().mkpath(folder));
        // The program's folder has a blank in its name: Exec has to quote it.
        m_mark = m_root->filePath(QStringLiteral("program folder/mark"));
        writeFile(m_mark,
                  "#!/bin/sh\n"
                  "out='" + m_marks.toUtf8() + "'/\"$1\"\n"
                  "{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$out.part\" && mv \"$out.part\" \"$out\"\n",
                  true);
        m_path = qgetenv("PATH");
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(m_system1 + u':' + m_system2));
        qputenv("PATH", QFile::encodeName(m_bin) + ":/usr/bin:/bin");
    }

    void cleanup()
    {
        qputenv("PATH", m_path);
        m_root.reset();
    }

    // -- Folders ----------------------------------------------------------------------------

    void folders_data()
    {
        QTest::addColumn<QString>("dataDirs");
        QTest::addColumn<QString>("dataHome");
        QTest::addColumn<QStringList>("search");
        QTest::addColumn<QString>("user");
        const QString home = QDir::homePath() + QStringLiteral("/.local/share/applications");
        QTest::newRow("in the given order") << "/b:/a" << "/h" << QStringList{"/b/applications", "/a/applications"} << "/h/applications";
        QTest::newRow("unset: the defaults") << "" << "/h" << QStringList{"/usr/local/share/applications", "/usr/share/applications"} << "/h/applications";
        QTest::newRow("relative and repeated ones dropped") << "rel:/a/:/a::/b" << "/h/" << QStringList{"/a/applications", "/b/applications"} << "/h/applications";
        QTest::newRow("only relative: the defaults") << "rel" << "" << QStringList{"/usr/local/share/applications", "/usr/share/applications"} << home;
        QTest::newRow("relative home: the default") << "/a" << "rel" << QStringList{"/a/applications"} << home;
    }
    void folders()
    {
        QFETCH(QString, dataDirs);
        QFETCH(QString, dataHome);
        QFETCH(QStringList, search);
        QFETCH(QString, user);
        qputenv("XDG_DATA_DIRS", QFile::encodeName(dataDirs));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
        QCOMPARE(AppLauncher::searchFolders(), search);
        QCOMPARE(AppLauncher::idFolders(), QStringList{user} + search);
    }

    // -- Reading entries --------------------------------------------------------------------

    void entryFile()
    {
        const std::optional<DesktopEntry> entry = DesktopEntry::parse(
            "# comment\n"
            "\n"
            "[Desktop Entry]\r\n"
            "Type = Application\r\n"
            "Name[de]=Zeichnen\n"
            "Name=Draw\\sIt\\\\Now\n"
            "Name=Second Name\n"
            "Comment=first\\nsecond\n"
            "NoDisplay=1\n"
            "Hidden=yes\n"
            "Terminal=false\n"
            "  # indented comment\n"
            "[Desktop Action new]\n"
            "Exec=other\n"
            "Hidden=true\n",
            QStringLiteral("/x/draw.desktop"));
        QVERIFY(entry);
        QCOMPARE(entry->filePath(), QStringLiteral("/x/draw.desktop"));
        QVERIFY(entry->isApplication());
        QCOMPARE(entry->name(), QStringLiteral("Draw It\\Now")); // the first Name, unlocalised
        QCOMPARE(entry->value(QStringLiteral("Comment")), QStringLiteral("first\nsecond"));
        QVERIFY(entry->noDisplay());
        QVERIFY(!entry->isHidden());      // only "true" (or "1")
        QVERIFY(!entry->runsInTerminal());
        QVERIFY(!entry->contains(QStringLiteral("Exec"))); // an action's keys are not the entry's

        QVERIFY(!DesktopEntry::parse("Type=Application\nName=No group\nExec=x\n"));
        QVERIFY(!DesktopEntry::parse("[Desktop Action x]\nExec=x\n"));
        QVERIFY(!DesktopEntry::read(QStringLiteral("/nonexistent/x.desktop")));
    }

    void execRules_data()
    {
        QTest::addColumn<QByteArray>("exec");
        QTest::addColumn<QByteArray>("extra");
        QTest::addColumn<QStringList>("command"); // empty: none

        QTest::newRow("program only") << QByteArray("prog") << QByteArray() << QStringList{"prog"};
        QTest::newRow("blanks and tabs separate") << QByteArray("prog  a\\tb   c") << QByteArray() << QStringList{"prog", "a", "b", "c"};
        QTest::newRow("\\s is a separating blank") << QByteArray("prog\\sa") << QByteArray() << QStringList{"prog", "a"};
        QTest::newRow("quoted blanks") << QByteArray("\"/opt/my app/prog\" \"a b\"") << QByteArray() << QStringList{"/opt/my app/prog", "a b"};
        QTest::newRow("quotes inside an argument") << QByteArray("prog --x=\"a b\"c") << QByteArray() << QStringList{"prog", "--x=a bc"};
        QTest::newRow("empty quoted argument kept") << QByteArray("prog \"\" x") << QByteArray() << QStringList{"prog", "", "x"};
        QTest::newRow("escaped quote") << QByteArray("prog \"say \\\"hi\\\"\"") << QByteArray() << QStringList{"prog", "say \"hi\""};
        QTest::newRow("escaped dollar and backtick") << QByteArray("prog \"\\\\$HOME \\`id\\`\"") << QByteArray() << QStringList{"prog", "$HOME `id`"};
        QTest::newRow("four backslashes are one") << QByteArray("prog \"a\\\\\\\\b\"") << QByteArray() << QStringList{"prog", "a\\b"};
        QTest::newRow("other backslash in quotes kept") << QByteArray("prog \"a\\qb\"") << QByteArray() << QStringList{"prog", "a\\qb"};
        QTest::newRow("shell characters are plain text") << QByteArray("prog a;b $(c) `d` |e >f") << QByteArray()
                                                         << QStringList{"prog", "a;b", "$(c)", "`d`", "|e", ">f"};
        QTest::newRow("single quotes do not quote") << QByteArray("prog 'a b'") << QByteArray() << QStringList{"prog", "'a", "b'"};
        QTest::newRow("file and URL codes removed") << QByteArray("prog %f %F --x %u %U") << QByteArray() << QStringList{"prog", "--x"};
        QTest::newRow("code inside an argument removed") << QByteArray("prog --open=%u") << QByteArray() << QStringList{"prog", "--open="};
        QTest::newRow("deprecated and unknown codes removed") << QByteArray("prog %d %D %n %N %v %m %z") << QByteArray() << QStringList{"prog"};
        QTest::newRow("percent sign") << QByteArray("prog %% 100%%done x%") << QByteArray() << QStringList{"prog", "%", "100%done", "x%"};
        QTest::newRow("%%f is a percent and an f") << QByteArray("prog %%f") << QByteArray() << QStringList{"prog", "%f"};
        QTest::newRow("%i with an icon") << QByteArray("prog %i x") << QByteArray("Icon=draw\n") << QStringList{"prog", "--icon", "draw", "x"};
        QTest::newRow("%i without an icon") << QByteArray("prog %i x") << QByteArray() << QStringList{"prog", "x"};
        QTest::newRow("%c is the name") << QByteArray("prog --title=%c %c") << QByteArray() << QStringList{"prog", "--title=Test App", "Test App"};
        QTest::newRow("%k is the file") << QByteArray("prog %k") << QByteArray() << QStringList{"prog", "/x/test.desktop"};
        QTest::newRow("unterminated quote") << QByteArray("prog \"a b") << QByteArray() << QStringList();
        QTest::newRow("empty") << QByteArray("") << QByteArray() << QStringList();
        QTest::newRow("only a code") << QByteArray("%f") << QByteArray() << QStringList();
        QTest::newRow("empty program") << QByteArray("\"\" x") << QByteArray() << QStringList();
    }
    void execRules()
    {
        QFETCH(QByteArray, exec);
        QFETCH(QByteArray, extra);
        QFETCH(QStringList, command);
        const std::optional<DesktopEntry> parsedEntry =
            DesktopEntry::parse(entry("Test App", exec, extra), QStringLiteral("/x/test.desktop"));
        QVERIFY(parsedEntry);
        const std::optional<QStringList> parsed = parsedEntry->command();
        if (command.isEmpty()) {
            QVERIFY2(!parsed, qPrintable(parsed ? parsed->join(u'|') : QString()));
        } else {
            QVERIFY(parsed);
            QCOMPARE(*parsed, command);
        }
    }

    // -- Finding ----------------------------------------------------------------------------

    void finding_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("found"); // relative to the test's root; empty: nothing

        const QString s1 = QStringLiteral("system one/applications/");
        const QString s2 = QStringLiteral("system2/applications/");
        const QString home = QStringLiteral("home/applications/");
        QTest::newRow("ID as given") << "textedit" << s2 + "textedit.desktop";
        QTest::newRow("ID capitalised") << "firefox" << s1 + "Firefox.desktop";
        QTest::newRow("ID capitalised, each word") << "fIREFOX" << s1 + "Firefox.desktop";
        QTest::newRow("name, upper case") << "TEXTEDIT" << s2 + "textedit.desktop";
        QTest::newRow("name, mixed case") << "TextEdit" << s2 + "textedit.desktop";
        QTest::newRow("partial name, first folder first") << "studio" << s1 + "studio-one.desktop";
        QTest::newRow("partial name, later folder") << "pro" << s2 + "audio-studio.desktop";
        QTest::newRow("name with blanks") << "audio studio one" << s1 + "studio-one.desktop";
        QTest::newRow("same ID in a later folder is hidden") << "zeta other" << QString();
        QTest::newRow("ID resolves to the first folder") << "zeta" << s1 + "zeta.desktop";
        QTest::newRow("not a .desktop file") << "notes" << QString();
        QTest::newRow("upper-case suffix is not .desktop") << "shouting" << QString();
        QTest::newRow("hidden by ID") << "hidden" << QString();
        QTest::newRow("hidden by name") << "hidden thing" << QString();
        QTest::newRow("NoDisplay not found by name") << "quiet" << QString();
        QTest::newRow("NoDisplay opens by ID") << "nodisplay" << s1 + "nodisplay.desktop";
        QTest::newRow("a link is no application") << "web link" << QString();
        QTest::newRow("no Type is no application") << "typeless" << QString();
        QTest::newRow("TryExec path missing") << "ghost" << QString();
        QTest::newRow("TryExec not in PATH") << "phantom" << QString();
        QTest::newRow("TryExec in PATH") << "present" << s1 + "present.desktop";
        QTest::newRow("no Exec") << "broken" << QString();
        QTest::newRow("badly quoted Exec") << "badly" << QString();
        QTest::newRow("program not installed") << "missing program" << QString();
        QTest::newRow("subfolder not searched by name") << "deep" << QString();
        QTest::newRow("subfolder ID") << "sub-deep" << s1 + "sub/deep.desktop";
        QTest::newRow("user's Hidden copy hides the ID") << "viewer" << QString();
        QTest::newRow("user's Hidden copy hides the name") << "image viewer" << QString();
        QTest::newRow("user's copy by ID") << "editor" << home + "editor.desktop";
        QTest::newRow("user's copy by its name") << "my editor" << home + "editor.desktop";
        QTest::newRow("system name under a user's copy") << "text editor" << QString();
        QTest::newRow("user's own application by ID") << "private" << home + "private.desktop";
        QTest::newRow("user's own application not by name") << "private notes" << QString();
        QTest::newRow("IDs keep their case") << "Private" << QString();
        QTest::newRow("no way out by a subfolder ID") << "..-evil" << QString();
        QTest::newRow("no way out by a path") << "../evil" << QString();
        QTest::newRow("no way out by a nested path") << "../evil-x" << QString();
        QTest::newRow("unknown") << "nothing like this" << QString();
        QTest::newRow("empty") << "" << QString();
        QTest::newRow("blank") << "  " << QString();
    }
    void finding()
    {
        QFETCH(QString, name);
        QFETCH(QString, found);
        writeCatalogue();
        QCOMPARE(relative(AppLauncher::find(name)), found);
        if (found.isEmpty())
            QVERIFY(!AppLauncher::launch(name));
    }

    void listingOrderIsByFileName()
    {
        const QString s1 = apps(m_system1);
        writeFile(s1 + "/b.desktop", entry("Studio B", markExec("b")));
        writeFile(s1 + "/a.desktop", entry("Studio A", markExec("a")));
        writeFile(s1 + "/c.desktop", entry("Studio C", markExec("c")));
        QCOMPARE(relative(AppLauncher::find(QStringLiteral("studio"))), QStringLiteral("system one/applications/a.desktop"));
    }

    // -- Opening ----------------------------------------------------------------------------

    void launchRunsTheEntry()
    {
        writeFile(apps(m_system1) + "/draw.desktop",
                  entry("Draw",
                        markExec("draw") + " \"two words\" %U --title=%c %k \"100%%\" \"\\\\$HOME\" %i",
                        "Icon=draw-icon\nPath=" + m_bin.toUtf8() + "\n"));
        QVERIFY(AppLauncher::launch(QStringLiteral("draw")));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(markFile(QStringLiteral("draw"))), 20000);
        QCOMPARE(record(QStringLiteral("draw")),
                 (QStringList{m_bin, "draw", "two words", "--title=Draw", apps(m_system1) + "/draw.desktop", "100%",
                              "$HOME", "--icon", "draw-icon"}));
    }

    void nothingReachesAShell()
    {
        const QString injected = markFile(QStringLiteral("injected"));
        // Would run before the program if a shell read the command line.
        const QByteArray substitution = "$(touch " + injected.toUtf8() + "-exec)";
        writeFile(apps(m_system1) + "/risky.desktop",
                  entry("Risky `touch " + injected.toUtf8() + "-name` $(touch " + injected.toUtf8() + "-name2)",
                        markExec("risky") + " " + substitution + " ;touch " + injected.toUtf8() + "-exec2 %c"));
        const QString name = QStringLiteral("risky `touch ") + injected + QStringLiteral("-name`");
        QVERIFY(AppLauncher::launch(name));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(markFile(QStringLiteral("risky"))), 20000);
        const QStringList arguments = record(QStringLiteral("risky")).mid(1);
        QCOMPARE(arguments,
                 (QStringList{"risky", "$(touch", injected + "-exec)", ";touch", injected + "-exec2",
                              "Risky `touch " + injected + "-name` $(touch " + injected + "-name2)"}));

        // Spoken names with shell syntax find nothing and run nothing.
        for (const QString &spoken : {QStringLiteral("risky; touch %1-spoken").arg(injected),
                                      QStringLiteral("$(touch %1-spoken2)").arg(injected),
                                      QStringLiteral("`touch %1-spoken3`").arg(injected),
                                      QStringLiteral("x && touch %1-spoken4").arg(injected)})
            QVERIFY2(!AppLauncher::launch(spoken), qPrintable(spoken));

        const QStringList left = QDir(m_marks).entryList(QDir::Files);
        QCOMPARE(left, QStringList{"risky"});
    }

    void terminalEntries()
    {
        // The terminal alternative records how it was asked to run the program.
        writeFile(m_bin + "/x-terminal-emulator",
                  "#!/bin/sh\nexec '" + m_mark.toUtf8() + "' terminal \"$@\"\n", true);
        writeFile(apps(m_system1) + "/top.desktop", entry("Top", markExec("top") + " -d 1", "Terminal=true\n"));
        QVERIFY(AppLauncher::launch(QStringLiteral("top")));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(markFile(QStringLiteral("terminal"))), 20000);
        QCOMPARE(record(QStringLiteral("terminal")).mid(1), (QStringList{"terminal", "-e", m_mark, "top", "-d", "1"}));

        // Without a terminal the entry cannot be opened.
        const QString empty = m_root->filePath(QStringLiteral("empty bin"));
        QVERIFY(QDir().mkpath(empty));
        qputenv("PATH", QFile::encodeName(empty));
        QVERIFY(AppLauncher::find(QStringLiteral("top")).isEmpty());
        QVERIFY(!AppLauncher::launch(QStringLiteral("top")));
    }

    void programFoundInPath()
    {
        QVERIFY(QFile::copy(m_mark, m_bin + "/mark-in-path"));
        writeFile(apps(m_system1) + "/pathy.desktop", entry("Pathy", "mark-in-path pathy"));
        QVERIFY(AppLauncher::launch(QStringLiteral("pathy")));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(markFile(QStringLiteral("pathy"))), 20000);
        QCOMPARE(record(QStringLiteral("pathy")).mid(1), QStringList{"pathy"});
    }

    void startFailureIsFalse()
    {
        // Executable, but nothing the system can run.
        writeFile(m_bin + "/not-a-program", QByteArray("\x7f" "ELF garbage", 12), true);
        writeFile(apps(m_system1) + "/garbage.desktop", entry("Garbage", "not-a-program"));
        QCOMPARE(relative(AppLauncher::find(QStringLiteral("garbage"))), QStringLiteral("system one/applications/garbage.desktop"));
        QVERIFY(!AppLauncher::launch(QStringLiteral("garbage")));
    }
};

KESTRIN_TEST_MAIN(AppLauncherTest)
#include "tst_applauncher.moc"
