// The place lookup's query parser over the real place list: any text, commas and qualifiers
// included, gives a place on the globe or nothing.

#include "FuzzSupport.h"
#include "Gazetteer.h"

#include <cmath>

namespace {

void check(const QString &text)
{
    const std::optional<Placemark> place = Gazetteer::shared().lookup(text);
    if (!place)
        return;
    Fuzz::check(std::isfinite(place->latitude) && std::fabs(place->latitude) <= 90, "a latitude");
    Fuzz::check(std::isfinite(place->longitude) && std::fabs(place->longitude) <= 180, "a longitude");
    Fuzz::check(place->name && !place->name->isEmpty(), "a named place");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::init();
    if (!Gazetteer::shared().load())
        Fuzz::fail("the place list is missing");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(data, qsizetype(size));
    check(Fuzz::utf8(bytes));
    check(Fuzz::utf16(bytes));
    return 0;
}
