#include "speech-engine/import/checkpoint/ImportFailure.h"

#include "speech-engine/import/vocabulary/ModelImport.h"

#include <archive.h>

void ImportFailure::raise(std::string message) {
    for (char& c : message)
        if (c == '\n' || c == '\r')
            c = ' ';
    throw ModelImportError(message);
}

std::string ImportFailure::archiveError(archive* reader) {
    const char* description = archive_error_string(reader);
    return description ? description : "unreadable data";
}
