// A streamed chat completion, cut into pieces where the input's first byte says: the events,
// their lines and the text they carry.

#include "app/translation/ChatStream.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const QByteArray body = FuzzInput::bytes(data + 1, size - 1);
    const qsizetype pieceBytes = 1 + data[0] % 64;
    ChatStream stream(1024);
    for (qsizetype at = 0; at < body.size(); at += pieceBytes) {
        const qsizetype before = stream.text().size();
        const bool grew = stream.feed(body.mid(at, pieceBytes));
        if (grew != (stream.text().size() > before) || stream.text().size() > 1024)
            __builtin_trap();
    }
    return 0;
}
