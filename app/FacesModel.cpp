#include "app/FacesModel.h"

#include "core/base/Text.h"

#include <algorithm>

namespace tarvo::app {

int FacesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant FacesModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count()) return {};
    const Row& row = rows_[size_t(index.row())];
    switch (role) {
    case FaceIdRole:
        return row.id;
    case NameRole:
        return row.name;
    case SamplesRole:
        return row.samples;
    case LearnedRole:
        return row.learned;
    case LastLearnedRole:
        return row.lastLearned;
    default:
        return {};
    }
}

QHash<int, QByteArray> FacesModel::roleNames() const {
    return {{FaceIdRole, "faceId"},
            {NameRole, "name"},
            {SamplesRole, "samples"},
            {LearnedRole, "learned"},
            {LastLearnedRole, "lastLearned"}};
}

void FacesModel::set(const std::vector<Enrollment::Face>& faces) {
    std::vector<Row> rows;
    for (const auto& face : faces)
        rows.push_back(
            {QString::fromStdString(face.id), QString::fromStdString(face.name),
             static_cast<int>(face.samples.size()), static_cast<int>(face.learned.size()),
             face.learned.empty()
                 ? QString()
                 : QString::fromStdString(Text::localDay(face.learned.back().learnedAt))});
    if (rows == rows_) return;
    const bool counted = rows.size() != rows_.size();
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
    if (counted) emit countChanged();
}

QString FacesModel::suggestedName() const {
    if (!contains("me")) return "Me";
    for (int n = 2;; ++n)
        if (!contains(QString("face %1").arg(n))) return QString("Face %1").arg(n);
}

bool FacesModel::contains(const QString& name) const {
    return std::any_of(rows_.begin(), rows_.end(), [&](const Row& row) {
        return row.name.compare(name, Qt::CaseInsensitive) == 0;
    });
}

} // namespace tarvo::app
