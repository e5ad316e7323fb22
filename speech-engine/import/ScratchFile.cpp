#include "speech-engine/import/ScratchFile.h"

ScratchFile::~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(filePath, ignored);
}
