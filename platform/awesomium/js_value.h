// JavaScript values as the web view hands them to the program and takes them back:
// JSValue (one value), JSArray (a call's arguments), JSObject (a global object that the
// program defined in the page). Main thread only, like the view they belong to.
//
// A value from the page carries the page's own conversions: ToString is what
// String(v) gave in the page and ToInteger is ToInt32(Number(v)), so objects,
// fractions and texts convert exactly as JavaScript converts them. Values made here
// convert the same way for booleans, integers, numbers and texts; an object made here
// reads as "[object Object]" and NaN.
#pragma once

#include <memory>
#include <vector>

#include "platform/awesomium/web_string.h"

namespace Awesomium {

// Results of the last operation on a view or object; 0 after a success.
enum Error {
    kError_None = 0,
    kError_BadParameter,    // an empty or unusable name, a value that cannot be stored
    kError_ObjectGone,      // the object or its view no longer exists
    kError_ConnectionGone,  // the page's process is not reachable
    kError_TimedOut,
    kError_WebViewGone,
    kError_Generic,         // for instance the page-side helper is not installed
};

class JSValue;
class JSArray;

namespace detail {
struct GlobalObjectTable;
}

// A handle to one global object of a view. Copies name the same object. Members set
// here reach the page when its next document starts (before its first script).
class JSObject {
public:
    JSObject() = default;  // names no object; setting members fails with kError_ObjectGone

    unsigned int remote_id() const { return id_; }  // 0 when it names no object
    WebString name() const;

    // A property of that value, replacing one of the same name.
    void SetProperty(const WebString &name, const JSValue &value);
    // A method; a call from the page reaches the view's JSMethodHandler, through its
    // call with a return value when has_return_value is true and the other one when not.
    void SetCustomMethod(const WebString &method_name, bool has_return_value);

    Error last_error() const { return last_error_; }

private:
    friend struct detail::GlobalObjectTable;
    std::shared_ptr<detail::GlobalObjectTable> table_;
    unsigned int id_ = 0;
    Error last_error_ = kError_None;
};

class JSValue {
public:
    enum Kind { kUndefined, kNull, kBoolean, kInteger, kDouble, kString, kObject, kArray };

    JSValue();  // undefined
    JSValue(bool value);
    JSValue(int value);
    JSValue(double value);
    JSValue(const WebString &value);
    JSValue(const JSObject &value);
    JSValue(const JSArray &value);
    JSValue(const char *) = delete;  // would silently become a boolean

    static const JSValue &Undefined();
    static const JSValue &Null();

    Kind kind() const { return kind_; }
    bool IsUndefined() const { return kind_ == kUndefined; }
    bool IsNull() const { return kind_ == kNull; }
    bool IsBoolean() const { return kind_ == kBoolean; }
    bool IsInteger() const { return kind_ == kInteger; }
    bool IsDouble() const { return kind_ == kDouble; }
    bool IsNumber() const { return kind_ == kInteger || kind_ == kDouble; }
    bool IsString() const { return kind_ == kString; }
    bool IsObject() const { return kind_ == kObject; }
    bool IsArray() const { return kind_ == kArray; }

    WebString ToString() const { return text_; }
    int ToInteger() const;  // ECMAScript ToInt32: NaN and infinities give 0, others wrap
    double ToDouble() const { return number_; }
    bool ToBoolean() const;

    // For a value that is no object: an object that names nothing.
    JSObject &ToObject() { return object_; }
    const JSObject &ToObject() const { return object_; }
    // For a value that is no array made here: an empty array. Arrays from the page
    // arrive as their conversions only, so they read as empty here too.
    const JSArray &ToArray() const;

    // A value as the page converted it (the page-side helper measured both forms).
    static JSValue FromPage(Kind kind, double number, const WebString &text);

private:
    Kind kind_;
    double number_;  // ToNumber of the value
    WebString text_;  // ToString of the value
    JSObject object_;
    std::shared_ptr<const JSArray> array_;
};

class JSArray {
public:
    JSArray() = default;
    explicit JSArray(unsigned int size) : values_(size) {}

    unsigned int size() const { return (unsigned int)values_.size(); }

    // Past the end: an undefined value. The non-const form then hands out a scratch
    // value that the next such access resets, so a write there changes nothing.
    const JSValue &operator[](unsigned int index) const;
    JSValue &operator[](unsigned int index);
    const JSValue &At(unsigned int index) const { return (*this)[index]; }

    void Push(const JSValue &item) { values_.push_back(item); }
    void Clear() { values_.clear(); }

private:
    std::vector<JSValue> values_;
    JSValue past_end_;
};

}  // namespace Awesomium
