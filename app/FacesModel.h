#pragma once

#include "core/store/Enrollment.h"

#include <QAbstractListModel>
#include <QString>
#include <vector>

namespace tarvo::app {

// The enrolled faces, a row each, for the views that list them and the
// rules that look at their names.
class FacesModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

  public:
    enum Role {
        FaceIdRole = Qt::UserRole + 1,
        NameRole,
        SamplesRole,
        LearnedRole,
        LastLearnedRole
    };
    Q_ENUM(Role)

    struct Row {
        QString id, name;
        int samples = 0, learned = 0;
        QString lastLearned; // the day of the newest learned sample, empty before one
        bool operator==(const Row&) const = default;
    };

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    int count() const { return static_cast<int>(rows_.size()); }
    const std::vector<Row>& rows() const { return rows_; }

    // The rows become these faces'; nothing is announced when they are the same.
    void set(const std::vector<Enrollment::Face>& faces);

    // "Me", else the first "Face n" (n >= 2) nobody is called, in any case.
    Q_INVOKABLE QString suggestedName() const;
    Q_INVOKABLE bool contains(const QString& name) const;

  signals:
    void countChanged();

  private:
    std::vector<Row> rows_;
};

} // namespace tarvo::app
