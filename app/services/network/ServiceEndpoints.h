#pragma once

#include <QUrl>

// Where the remote services live. The production addresses are kept here and
// nowhere else; the clients take them as constructor arguments so tests can
// point them at loopback servers.
namespace ServiceEndpoints {

// Nebius Token Factory chat completions.
QUrl tokenFactory();
// The ElevenLabs API base address.
QUrl elevenLabs();

} // namespace ServiceEndpoints
