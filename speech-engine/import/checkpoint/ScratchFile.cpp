#include "speech-engine/import/checkpoint/ScratchFile.h"

ScratchFile::~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(filePath, ignored);
}
