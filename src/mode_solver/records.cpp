#include <utility>

#include "mode_solver/mode_solver.hpp"

namespace corvane {

ComponentFields collect_mode_fields(std::vector<ModeFields>&& modes) {
    ComponentFields fields;
    for (ModeFields& mode : modes) {
        fields.ex.push_back(std::move(mode.ex));
        fields.ey.push_back(std::move(mode.ey));
        fields.ez.push_back(std::move(mode.ez));
        fields.hx.push_back(std::move(mode.hx));
        fields.hy.push_back(std::move(mode.hy));
        fields.hz.push_back(std::move(mode.hz));
    }
    // The emptied records go with the list; their arrays now live in `fields`.
    std::vector<ModeFields>().swap(modes);
    return fields;
}

}  // namespace corvane
