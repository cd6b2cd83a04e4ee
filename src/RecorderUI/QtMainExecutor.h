#pragma once

#include <QObject>

#include "MainExecutor.h"

namespace brindlow {

// Posts work to the Qt event loop of the thread `context` lives on (the GUI thread).
// `context` must outlive every post; the application object does.
class QtMainExecutor final : public MainExecutor {
public:
    explicit QtMainExecutor(QObject* context) : context_(context) {}
    void post(std::function<void()> work) override;

private:
    QObject* const context_;
};

}  // namespace brindlow
