#include "OptionListModel.h"

namespace brindlow {

int OptionListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant OptionListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= count()) return {};
    const Option& option = options_[index.row()];
    switch (role) {
    case ValueRole: return option.value;
    case NameRole: return option.name;
    case LabelRole:
    case Qt::DisplayRole: return option.label;
    default: return {};
    }
}

QHash<int, QByteArray> OptionListModel::roleNames() const {
    return {{ValueRole, "value"}, {NameRole, "name"}, {LabelRole, "label"}};
}

QString OptionListModel::nameOf(const QVariant& value) const {
    for (const Option& option : options_)
        if (option.value == value) return option.name;
    return {};
}

void OptionListModel::setOptions(QVector<Option> options) {
    if (options == options_) return;
    const bool countChanges = options.size() != options_.size();
    beginResetModel();
    options_ = std::move(options);
    endResetModel();
    if (countChanges) Q_EMIT countChanged();
}

}  // namespace brindlow
