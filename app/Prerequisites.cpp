#include "app/Prerequisites.h"

#include <iterator>

namespace tarvo::app {

void PrerequisiteState::set(const Prerequisite* row) {
    if (listed_ == (row != nullptr) && (!row || *row == row_)) return;
    listed_ = row != nullptr;
    row_ = row ? *row : Prerequisite{};
    emit changed();
}

void PrerequisiteStates::set(const std::vector<Prerequisite>& list) {
    for (size_t k = 0; k < std::size(rows_); ++k) {
        const Prerequisite* listed = nullptr;
        for (const auto& row : list)
            if (static_cast<size_t>(row.kind) == k) listed = &row;
        rows_[k].set(listed);
    }
}

} // namespace tarvo::app
