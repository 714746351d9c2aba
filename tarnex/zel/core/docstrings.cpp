#include "core/docstrings.hpp"

#include <cstring>
#include <deque>
#include <string>
#include <string_view>

namespace zel {
namespace {

struct LongDoc {
    const char* name;
    const char* text;
};

// Each entry is ZEL_DOC("name", R"doc(...)doc"); the text starts on the line
// after the opening delimiter and is appended below the summary line.
#define ZEL_DOC(name, text) {name, text},
constexpr LongDoc kLongDocs[] = {
#include "doc/all.inc"
    {nullptr, nullptr},
};
#undef ZEL_DOC

// The composed docstrings, alive for the process (method tables point here).
std::deque<std::string>& composed() {
    static std::deque<std::string> docs;
    return docs;
}

}  // namespace

const char* long_docstring(const char* name) {
    for (const LongDoc* d = kLongDocs; d->name; ++d) {
        if (std::strcmp(d->name, name) == 0) return d->text;
    }
    return nullptr;
}

void attach_docstrings(PyMethodDef* table) {
    for (PyMethodDef* def = table; def->ml_name; ++def) {
        const char* text = long_docstring(def->ml_name);
        if (!text) continue;
        std::string_view body(text);
        while (!body.empty() && body.front() == '\n') body.remove_prefix(1);
        std::string doc = def->ml_doc ? def->ml_doc : "";
        doc += "\n\n";
        doc += body;
        while (!doc.empty() && (doc.back() == '\n' || doc.back() == ' ')) doc.pop_back();
        composed().push_back(std::move(doc));
        def->ml_doc = composed().back().c_str();
    }
}

}  // namespace zel
