#include "runtime/names.hpp"

#include <vector>

namespace qv {

static std::vector<Name *> &registry() {
    static std::vector<Name *> names;
    return names;
}

Name::Name(const char *text) : text_(text) { registry().push_back(this); }

void intern_names() {
    for (Name *name : registry()) {
        if (name->obj_) continue;
        name->obj_ = PyUnicode_InternFromString(name->text_);
        if (!name->obj_) raise_current();
    }
}

}  // namespace qv
