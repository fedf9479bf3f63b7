// Assembling classes at module start-up.  Classes are made by calling the
// right metaclass with a namespace built here (__module__, __qualname__,
// string __annotations__, defaults and members), exactly as a class
// statement would hand it over; no Python source is compiled.
#pragma once

#include "runtime/function.hpp"

namespace qv {

// A field's default, described so that a class body can be declared as a
// constant table: built when the class is (with the module's globals).
struct FieldDefault {
    enum class Kind { none, text, integer, false_value, list_factory, dict_factory, global_factory, global_attr };
    Kind kind = Kind::none;
    const char *text = nullptr;   // text; the global's name
    const char *attr = nullptr;   // global_attr: the attribute of that global
    long number = 0;              // integer

    nb::object build() const;  // an invalid object for `none`
};

constexpr FieldDefault no_default() { return {}; }
constexpr FieldDefault default_text(const char *text) { return {FieldDefault::Kind::text, text}; }
constexpr FieldDefault default_int(long n) { return {FieldDefault::Kind::integer, nullptr, nullptr, n}; }
constexpr FieldDefault default_false() { return {FieldDefault::Kind::false_value}; }
// Field(default_factory=list / dict / <module global>)
constexpr FieldDefault new_list() { return {FieldDefault::Kind::list_factory}; }
constexpr FieldDefault new_dict() { return {FieldDefault::Kind::dict_factory}; }
constexpr FieldDefault new_global(const char *global) { return {FieldDefault::Kind::global_factory, global}; }
// <module global>.<attr>, e.g. an enum member
constexpr FieldDefault global_attr(const char *global, const char *attr) {
    return {FieldDefault::Kind::global_attr, global, attr};
}

// One entry of a class body: an annotated field or a member function.  A
// class is declared as a table of these, in source order, and built by
// `ClassBody::declare`.
struct Member {
    enum class Kind { field, method, property, staticmethod };
    Kind kind;
    const char *name = nullptr;        // field
    const char *annotation = nullptr;  // field
    FieldDefault value = {};           // field
    const FunctionDef *def = nullptr;  // method, property, staticmethod
};

constexpr Member field(const char *name, const char *annotation, FieldDefault value = no_default()) {
    return {Member::Kind::field, name, annotation, value};
}
constexpr Member method(const FunctionDef &def) { return {Member::Kind::method, nullptr, nullptr, {}, &def}; }
constexpr Member property(const FunctionDef &def) { return {Member::Kind::property, nullptr, nullptr, {}, &def}; }
constexpr Member staticmethod(const FunctionDef &def) {
    return {Member::Kind::staticmethod, nullptr, nullptr, {}, &def};
}

class ClassBody {
public:
    explicit ClassBody(const char *qualname);

    // An annotated name, in declaration order; the default is optional.
    ClassBody &annotate(const char *name, const char *annotation, nb::handle default_value = nb::handle());
    // Any other namespace entry (members, model_config, ...).
    ClassBody &set(const char *name, nb::handle value);
    ClassBody &method(const FunctionDef &def, nb::handle defaults = nb::handle());
    ClassBody &property(const FunctionDef &def);
    ClassBody &staticmethod(const FunctionDef &def);
    // Every entry of a member table, in order.
    template <size_t N>
    ClassBody &declare(const Member (&members)[N]) {
        for (const Member &m : members) add(m);
        return *this;
    }
    ClassBody &add(const Member &member);

    nb::handle ns() const { return ns_; }

    // metaclass(name, bases, namespace)
    nb::object build(nb::handle metaclass, std::initializer_list<nb::handle> bases);

private:
    const char *qualname_;
    nb::object ns_;
    nb::object annotations_;
};

// `Field(default_factory=factory)` with the module's global `Field`.
nb::object field_default_factory(nb::handle factory);

nb::object str(const char *text);

}  // namespace qv
