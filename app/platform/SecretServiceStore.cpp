#include "app/platform/SecretServiceStore.h"

#include <QFutureWatcher>
#include <QPromise>
#include <libsecret/secret.h>
#include <memory>
#include <qcoro/qcorosignal.h>
#include <thread>

namespace {

// Our own schema, so our item never matches another program's.
const SecretSchema* schema() {
    static const SecretSchema instance = [] {
        SecretSchema schema{};
        schema.name = "com.quillworks.relayo.Secret";
        schema.flags = SECRET_SCHEMA_NONE;
        schema.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        schema.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return schema;
    }();
    return &instance;
}

struct Outcome {
    std::optional<int> failure;
    std::optional<QByteArray> secret;
};

// A call failed when it set an error, whatever its code: GIO's and D-Bus's generic
// "failed" codes are 0.
std::optional<int> failureOf(GError* error) {
    if (!error)
        return std::nullopt;
    const int code = error->code;
    g_error_free(error);
    return code;
}

using Call = std::function<Outcome(GCancellable*)>;

// Runs a blocking libsecret call on a detached thread and awaits its outcome.
// The thread owns everything it touches, so giving up on it is safe.
QCoro::Task<Outcome> runBounded(Call call, std::chrono::milliseconds waitLimit) {
    std::shared_ptr<GCancellable> cancellable(g_cancellable_new(), g_object_unref);
    auto promise = std::make_shared<QPromise<Outcome>>();
    QFuture<Outcome> future = promise->future();
    promise->start();
    std::thread([promise, call = std::move(call), cancellable] {
        promise->addResult(call(cancellable.get()));
        promise->finish();
    }).detach();

    QFutureWatcher<Outcome> watcher;
    watcher.setFuture(future);
    if (!future.isFinished())
        co_await qCoro(&watcher, &QFutureWatcherBase::finished, waitLimit);
    if (!future.isFinished()) {
        g_cancellable_cancel(cancellable.get());
        co_return Outcome{SecretServiceStore::timedOut, std::nullopt};
    }
    co_return future.result();
}

} // namespace

const int SecretServiceStore::timedOut = G_IO_ERROR_TIMED_OUT;

SecretServiceStore::SecretServiceStore(QString service, QString account, QString label,
                                       std::chrono::milliseconds waitLimit)
    : m_service(service.toUtf8()), m_account(account.toUtf8()), m_label(label.toUtf8()),
      m_waitLimit(waitLimit) {}

QCoro::Task<std::optional<int>> SecretServiceStore::store(QByteArray secret) const {
    const Call call = [service = m_service, account = m_account, label = m_label,
                       secret = std::move(secret)](GCancellable* cancellable) {
        GError* error = nullptr;
        SecretValue* value = secret_value_new(secret.constData(), secret.size(), "text/plain");
        secret_password_store_binary_sync(
            schema(), SECRET_COLLECTION_DEFAULT, label.constData(), value, cancellable, &error,
            "service", service.constData(), "account", account.constData(), nullptr);
        secret_value_unref(value);
        return Outcome{failureOf(error), std::nullopt};
    };
    const Outcome outcome = co_await runBounded(call, m_waitLimit);
    co_return outcome.failure;
}

QCoro::Task<std::optional<QByteArray>> SecretServiceStore::lookup() const {
    const Call call = [service = m_service, account = m_account](GCancellable* cancellable) {
        GError* error = nullptr;
        SecretValue* value = secret_password_lookup_binary_sync(
            schema(), cancellable, &error, "service", service.constData(), "account",
            account.constData(), nullptr);
        Outcome outcome{failureOf(error), std::nullopt};
        if (value) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(value, &length);
            outcome.secret = QByteArray(bytes, static_cast<qsizetype>(length));
            secret_value_unref(value);
        }
        return outcome;
    };
    const Outcome outcome = co_await runBounded(call, m_waitLimit);
    co_return outcome.secret;
}

QCoro::Task<> SecretServiceStore::clear() const {
    const Call call = [service = m_service, account = m_account](GCancellable* cancellable) {
        GError* error = nullptr;
        secret_password_clear_sync(schema(), cancellable, &error, "service", service.constData(),
                                   "account", account.constData(), nullptr);
        return Outcome{failureOf(error), std::nullopt};
    };
    co_await runBounded(call, m_waitLimit);
}
