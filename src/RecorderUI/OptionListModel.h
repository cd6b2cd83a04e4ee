#pragma once

#include <QAbstractListModel>
#include <QVariant>
#include <QVector>

namespace brindlow {

// One list the pickers offer (displays, cameras or microphones): what is stored when an
// entry is chosen, the device's name, and the text of its menu entry.
class OptionListModel final : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role { ValueRole = Qt::UserRole + 1, NameRole, LabelRole };
    struct Option {
        QVariant value;  // display id (qint64) or device id (QString)
        QString name;
        QString label;
        bool operator==(const Option&) const = default;
    };

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return static_cast<int>(options_.size()); }
    // The name of the entry whose value is `value`, or an empty text.
    QString nameOf(const QVariant& value) const;
    // Replaces every entry; a list equal to the current one changes nothing.
    void setOptions(QVector<Option> options);

Q_SIGNALS:
    void countChanged();

private:
    QVector<Option> options_;
};

}  // namespace brindlow
