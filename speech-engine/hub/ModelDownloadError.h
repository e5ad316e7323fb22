#pragma once

#include <QString>

#include <stdexcept>

// A model that could not be fetched or put in place; what() is a sentence for a person.
class ModelDownloadError : public std::runtime_error {
public:
    explicit ModelDownloadError(const QString& description)
        : std::runtime_error(description.toStdString()) {}

    static ModelDownloadError cancelled() {
        return ModelDownloadError(QStringLiteral("The model download was cancelled."));
    }
};
