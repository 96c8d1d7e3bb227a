#include "page/var.h"

#include "cgi/diag.h"

namespace {

constexpr int kMaxVars = 500;

struct VarState {
    std::vector<std::pair<std::string, std::string>> vars;
};

VarState& st() {
    static VarState s;
    return s;
}

const std::string kEmpty;

}  // namespace

void var_set(std::string_view name, std::string_view value) {
    VarState& s = st();
    for (auto& v : s.vars)
        if (v.first == name) {
            v.second = std::string(value);
            return;
        }
    if (static_cast<int>(s.vars.size()) >= kMaxVars) {
        std::string n(name), val(value);
        emsg("Too many var_sets %d %s=%s \n", static_cast<int>(s.vars.size()), n.c_str(), val.c_str());
        return;
    }
    s.vars.emplace_back(std::string(name), std::string(value));
}

const std::string& var_find(std::string_view name) {
    for (const auto& v : st().vars)
        if (v.first == name) return v.second;
    return kEmpty;
}

int var_count() { return static_cast<int>(st().vars.size()); }

void var_reset() { st() = VarState{}; }
