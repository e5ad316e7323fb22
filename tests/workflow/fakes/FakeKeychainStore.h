#pragma once

#include "app/workflow/contracts/IKeychainStore.h"
#include "tests/workflow/fakes/Script.h"

#include <tuple>

// The key store: one optional key; saving can fail and loading can be held.
class FakeKeychainStore : public IKeychainStore {
public:
    QCoro::Task<> saveAPIKey(QString key) override {
        co_await saves.next({});
        storedKey = key;
    }
    QCoro::Task<std::optional<QString>> loadAPIKey() override {
        ++loadCount;
        co_await loads.next({});
        // A copy: QCoro's co_return moves from an lvalue.
        co_return std::optional<QString>(storedKey);
    }
    QCoro::Task<> deleteAPIKey() override {
        storedKey.reset();
        co_return;
    }

    std::optional<QString> storedKey;
    Script<std::tuple<>> saves;
    Script<std::tuple<>> loads;
    int loadCount = 0;
};
