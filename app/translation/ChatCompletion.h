#pragma once

#include "app/translation/TranslationDirection.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <optional>

// One translation as an OpenAI-style chat completion (Token Factory, vLLM, llama.cpp, Ollama):
// the sampling and prompt every translation uses, the request that carries the key, and the
// answer's text.
namespace ChatCompletion {

// The model Token Factory translations name.
inline const QString translationModel = QStringLiteral("Qwen/Qwen3-30B-A3B-Instruct-2507");

// A JSON POST to `endpoint`, with the key as bearer token when there is one; redirects may not
// take the key to another host. The caller sets the time-out.
QNetworkRequest request(const QUrl& endpoint, const QString& key);
// The request body: the direction's system prompt, then the text as the user's message; with
// `stream` the answer comes as server-sent events.
QByteArray payload(TranslationDirection direction, const QString& text,
                   const QString& model = translationModel, bool stream = false);
// choices[0].message.content of a 2xx answer, or nothing when the answer has
// another shape. Throws ServiceError when the answer is not JSON.
std::optional<QString> content(const QByteArray& answer);

} // namespace ChatCompletion
