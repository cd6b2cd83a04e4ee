#include "QtMainExecutor.h"

#include <QMetaObject>

namespace brindlow {

void QtMainExecutor::post(std::function<void()> work) {
    if (!work) return;
    QMetaObject::invokeMethod(context_, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

}  // namespace brindlow
