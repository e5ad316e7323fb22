#include "tests/workflow/fakes/FakeKeychainStore.h"

QCoro::Task<> FakeKeychainStore::saveAPIKey(QString key) {
    co_await saves.next({});
    storedKey = key;
}

QCoro::Task<std::optional<QString>> FakeKeychainStore::loadAPIKey() {
    ++loadCount;
    co_await loads.next({});
    // A copy: QCoro's co_return moves from an lvalue.
    co_return std::optional<QString>(storedKey);
}

QCoro::Task<> FakeKeychainStore::deleteAPIKey() {
    storedKey.reset();
    co_return;
}
