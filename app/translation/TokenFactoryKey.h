#pragma once

#include <QString>
#include <optional>

// Where the Token Factory key is found: the environment variable
// NEBIUS_TOKEN_FACTORY_KEY when it is not empty, else the first
// NEBIUS_TOKEN_FACTORY_KEY line of a ".env.local" file in the working folder,
// the executable's folder or its parent. Read anew on every call.
namespace TokenFactoryKey {

std::optional<QString> load();

} // namespace TokenFactoryKey
