#include "model-import/SentencePieceVocabulary.h"

#include "model-import/ImportFailure.h"

#include <cstdint>

// The model is a protocol buffer (sentencepiece's ModelProto): field 1 holds the pieces in id
// order, each a message whose field 1 is the piece's text. Read here directly: the protobuf
// runtime that libsentencepiece bundles cannot share a process with libtorch's.
namespace {

constexpr int piecesField = 1;
constexpr int pieceTextField = 1;

[[noreturn]] void invalid() {
    ImportFailure::raise("The checkpoint's tokenizer is not a valid SentencePiece model");
}

class WireReader {
public:
    explicit WireReader(std::string_view bytes) : m_rest(bytes) {}

    bool atEnd() const { return m_rest.empty(); }

    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (m_rest.empty())
                invalid();
            const auto byte = static_cast<std::uint8_t>(m_rest.front());
            m_rest.remove_prefix(1);
            value |= std::uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
        invalid();
    }

    // The next field's number, with `bytes` set to its contents when it is length-delimited
    // and other kinds of fields skipped.
    int field(std::string_view& bytes) {
        const auto key = varint();
        bytes = {};
        switch (key & 7) {
        case 0:
            varint();
            break;
        case 1:
            take(8);
            break;
        case 2:
            bytes = take(varint());
            break;
        case 5:
            take(4);
            break;
        default:
            invalid();
        }
        return int(key >> 3);
    }

private:
    std::string_view take(std::uint64_t count) {
        if (count > m_rest.size())
            invalid();
        const auto taken = m_rest.substr(0, count);
        m_rest.remove_prefix(count);
        return taken;
    }

    std::string_view m_rest;
};

std::string pieceText(std::string_view message) {
    WireReader reader(message);
    std::string_view bytes;
    std::string text;
    bool found = false;
    while (!reader.atEnd()) {
        if (reader.field(bytes) == pieceTextField) {
            text = bytes;
            found = true;
        }
    }
    if (!found)
        invalid();
    return text;
}

} // namespace

std::vector<std::string> SentencePieceVocabulary::pieces(std::string_view serializedModel) {
    WireReader reader(serializedModel);
    std::vector<std::string> pieces;
    std::string_view bytes;
    while (!reader.atEnd()) {
        if (reader.field(bytes) == piecesField)
            pieces.push_back(pieceText(bytes));
    }
    if (pieces.empty())
        invalid();
    return pieces;
}
