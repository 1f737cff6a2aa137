#include "app/CamerasModel.h"

namespace tarvo::app {
namespace {

bool same(const CameraCheck::Choice& a, const CameraCheck::Choice& b) {
    return a.name == b.name && a.card == b.card && a.formats == b.formats &&
           a.infrared == b.infrared && a.allowed == b.allowed && a.chosen == b.chosen;
}

} // namespace

int CamerasModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant CamerasModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const auto& camera = rows_[size_t(index.row())];
    switch (role) {
    case NameRole:
        return QString::fromStdString(camera.name);
    case CardRole:
        return QString::fromStdString(camera.card);
    case FormatsRole:
        return QString::fromStdString(camera.formats);
    case InfraredRole:
        return camera.infrared;
    case AllowedRole:
        return camera.allowed;
    case ChosenRole:
        return camera.chosen;
    case LabelRole:
        return label(camera);
    default:
        return {};
    }
}

QHash<int, QByteArray> CamerasModel::roleNames() const {
    return {{NameRole, "name"},         {CardRole, "card"},       {FormatsRole, "formats"},
            {InfraredRole, "infrared"}, {AllowedRole, "allowed"}, {ChosenRole, "chosen"},
            {LabelRole, "label"}};
}

void CamerasModel::set(const std::vector<CameraCheck::Choice>& cameras) {
    if (std::equal(cameras.begin(), cameras.end(), rows_.begin(), rows_.end(), same)) return;
    const QStringList before = menu();
    beginResetModel();
    rows_ = cameras;
    endResetModel();
    if (menu() != before) emit menuChanged();
}

QString CamerasModel::label(const CameraCheck::Choice& camera) const {
    const QString card = QString::fromStdString(camera.card);
    if (camera.infrared) return tr("%1 (infrared)").arg(card);
    return card.isEmpty() ? QString::fromStdString(camera.name) : card;
}

QStringList CamerasModel::menu() const {
    QStringList entries{tr("Automatic")};
    for (const auto& camera : rows_)
        entries << label(camera);
    return entries;
}

int CamerasModel::menuIndex(const QString& chosen) const {
    if (chosen.isEmpty()) return 0;
    for (size_t i = 0; i < rows_.size(); ++i)
        if (QString::fromStdString(rows_[i].name) == chosen) return static_cast<int>(i) + 1;
    return 0;
}

QString CamerasModel::nameAt(int menuIndex) const {
    if (menuIndex < 1 || menuIndex > rowCount()) return {};
    return QString::fromStdString(rows_[size_t(menuIndex - 1)].name);
}

} // namespace tarvo::app
