#pragma once

// Observable fields are Q_PROPERTYs whose NOTIFY signal carries the new value.
// `assign` is the one way such a field changes: it stores the value and then
// announces it, so announcements arrive in assignment order and a subscriber
// that reads the field sees the value it was told about. Every assignment is
// announced, equal or not; subscribers that want only changes use `subscribeDistinct`.

#include <QObject>
#include <QVariant>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

template <typename Owner, typename T, typename Value, typename... SignalArgs>
void assign(Owner* owner, T& field, Value&& value, void (Owner::*changed)(SignalArgs...)) {
    field = std::forward<Value>(value);
    emit(owner->*changed)(field);
}

// Delivers the current value at once and then every value that differs from the
// one delivered before it. The subscription ends with `context`, so a handler
// never runs for a receiver that is gone.
template <typename Sender, typename Getter, typename Signal, typename Handler>
QMetaObject::Connection subscribeDistinct(Sender* sender, Getter getter, Signal changed,
                                          QObject* context, Handler handler) {
    using Value = std::decay_t<std::invoke_result_t<Getter, Sender*>>;
    auto last = std::make_shared<Value>(std::invoke(getter, sender));
    handler(*last);
    return QObject::connect(sender, changed, context,
                            [last, handler = std::move(handler)](const Value& value) mutable {
                                if (value == *last)
                                    return;
                                *last = value;
                                handler(value);
                            });
}

// How QML sees an optional field: the value, or null when absent.
template <typename T> QVariant variantOf(const std::optional<T>& value) {
    return value ? QVariant::fromValue(*value) : QVariant();
}
