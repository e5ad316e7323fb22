// The usage guide's text, as a user may have edited it.

#include "app/ui/GuideParser.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    GuideParser::parse(QString::fromUtf8(FuzzInput::bytes(data, size)));
    return 0;
}
