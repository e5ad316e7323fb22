#pragma once

#include <QString>
#include <stdexcept>

// A failure that reaches the user: it carries one human-readable description
// (also returned by what(), as UTF-8) and, for platform-style errors, a domain
// and code such as "Capture" 1. Suspending operations report failures by
// throwing an exception derived from std::exception; the workflow shows
// `describe(error)` unchanged.
class ServiceError : public std::runtime_error {
public:
    explicit ServiceError(const QString& description, QString domain = {}, int code = 0);

    QString description() const { return m_description; }
    QString domain() const { return m_domain; }
    int code() const { return m_code; }

private:
    QString m_description;
    QString m_domain;
    int m_code;
};

// The description of any exception: its what() read as UTF-8.
QString describe(const std::exception& error);
