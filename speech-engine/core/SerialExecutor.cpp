#include "speech-engine/core/SerialExecutor.h"

SerialExecutor::SerialExecutor(const QString& name) {
    m_thread.setObjectName(name);
    m_context.moveToThread(&m_thread);
    m_thread.start();
}

SerialExecutor::~SerialExecutor() {
    m_thread.quit();
    m_thread.wait();
}
