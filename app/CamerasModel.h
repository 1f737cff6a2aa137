#pragma once

#include "core/system/CameraCheck.h"

#include <QAbstractListModel>
#include <QStringList>
#include <vector>

namespace tarvo::app {

// Every camera, a row each, and the menu the window chooses from:
// "Automatic" (the first colour camera), then each by its card's name.
class CamerasModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(QStringList menu READ menu NOTIFY menuChanged)

  public:
    enum Role {
        NameRole = Qt::UserRole + 1,
        CardRole,
        FormatsRole,
        InfraredRole,
        AllowedRole,
        ChosenRole,
        LabelRole, // its entry in the menu
    };
    Q_ENUM(Role)

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The rows become these cameras'; nothing is announced when they are the same.
    void set(const std::vector<CameraCheck::Choice>& cameras);

    QStringList menu() const;
    // The menu's entry for the chosen camera's stable name (0, Automatic,
    // for none or one not connected).
    Q_INVOKABLE int menuIndex(const QString& chosen) const;
    // The stable name behind a menu entry; empty for Automatic.
    QString nameAt(int menuIndex) const;

  signals:
    void menuChanged();

  private:
    QString label(const CameraCheck::Choice& camera) const;
    std::vector<CameraCheck::Choice> rows_;
};

} // namespace tarvo::app
