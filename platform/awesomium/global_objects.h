// The global objects that the program defined for one view, shared by the view and
// the JSObject handles that name them. The page-side helper copies these into each
// new document.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/awesomium/js_value.h"

namespace Awesomium {
namespace detail {

struct GlobalObjectDef {
    WebString name;
    unsigned int id;
    std::vector<std::pair<WebString, JSValue>> properties;  // in the order first set
    std::vector<std::pair<WebString, bool>> methods;        // name, has a return value
};

struct GlobalObjectTable {
    std::vector<GlobalObjectDef> objects;
    bool view_alive = true;

    GlobalObjectDef *find(unsigned int id);
    GlobalObjectDef *find(const WebString &name);
    static JSObject handle(const std::shared_ptr<GlobalObjectTable> &table, unsigned int id);
};

// A JavaScript identifier of ASCII letters, digits, "_" and "$", not starting with a digit.
bool is_script_identifier(const WebString &name);

}  // namespace detail
}  // namespace Awesomium
