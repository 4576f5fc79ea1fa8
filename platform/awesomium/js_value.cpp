#include "platform/awesomium/js_value.h"

#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/awesomium/global_objects.h"

namespace Awesomium {

static WebString ascii(const char *text)
{
    return WebString::CreateFromUTF8(text, (unsigned int)strlen(text));
}

// Number::toString of ECMAScript: the shortest digits that read back as the same
// double, then plain notation for exponents from -6 to 20 and e-notation beyond.
static std::string number_text(double d)
{
    if (isnan(d))
        return "NaN";
    if (d == 0)
        return "0";  // -0 too
    if (isinf(d))
        return d < 0 ? "-Infinity" : "Infinity";
    std::string sign = d < 0 ? "-" : "";
    char buf[40];
    for (int precision = 1; precision <= 17; precision++) {
        snprintf(buf, sizeof buf, "%.*e", precision - 1, fabs(d));
        if (strtod(buf, nullptr) == fabs(d))
            break;
    }
    // buf is "d.ddde[+-]xx": collect the digits and the decimal exponent.
    std::string digits;
    char *p = buf;
    for (; *p && *p != 'e'; p++)
        if (*p != '.')
            digits.push_back(*p);
    int exponent = atoi(p + 1);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    int k = (int)digits.size();
    int n = exponent + 1;  // value = 0.digits x 10^n
    std::string out;
    if (k <= n && n <= 21) {
        out = digits + std::string(n - k, '0');
    } else if (0 < n && n <= 21) {
        out = digits.substr(0, n) + "." + digits.substr(n);
    } else if (-6 < n && n <= 0) {
        out = "0." + std::string(-n, '0') + digits;
    } else {
        out = digits.substr(0, 1);
        if (k > 1)
            out += "." + digits.substr(1);
        out += (n - 1 < 0 ? "e-" : "e+") + std::to_string(abs(n - 1));
    }
    return sign + out;
}

static bool is_space(char16_t c)
{
    return c == 0x09 || c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x20 ||
           c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000 || c == 0xFEFF;
}

// StringToNumber of ECMAScript: blank is 0; decimal with sign and exponent, "Infinity",
// or 0x / 0o / 0b integers without sign; anything else is NaN.
static double text_number(const WebString &text)
{
    const wchar16 *s = text.data();
    unsigned int begin = 0, end = text.length();
    while (begin < end && is_space(s[begin]))
        begin++;
    while (end > begin && is_space(s[end - 1]))
        end--;
    if (begin == end)
        return 0;
    std::string t;
    for (unsigned int i = begin; i < end; i++) {
        if (s[i] > 0x7F)
            return NAN;
        t.push_back((char)s[i]);
    }
    if (t.size() > 2 && t[0] == '0' && strchr("xXoObB", t[1])) {
        int base = (t[1] == 'x' || t[1] == 'X') ? 16 : (t[1] == 'o' || t[1] == 'O') ? 8 : 2;
        double value = 0;
        for (size_t i = 2; i < t.size(); i++) {
            char c = t[i];
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : 99;
            if (digit >= base)
                return NAN;
            value = value * base + digit;
        }
        return value;
    }
    size_t i = 0;
    bool negative = false;
    if (t[i] == '+' || t[i] == '-')
        negative = t[i++] == '-';
    if (t.compare(i, std::string::npos, "Infinity") == 0)
        return negative ? -INFINITY : INFINITY;
    // Only digits, one point and an exponent: strtod alone would also take "inf",
    // "nan" and hexadecimal fractions.
    size_t j = i, mantissa_digits = 0;
    while (j < t.size() && isdigit((unsigned char)t[j]))
        j++, mantissa_digits++;
    if (j < t.size() && t[j] == '.') {
        j++;
        while (j < t.size() && isdigit((unsigned char)t[j]))
            j++, mantissa_digits++;
    }
    if (mantissa_digits == 0)
        return NAN;
    if (j < t.size() && (t[j] == 'e' || t[j] == 'E')) {
        j++;
        if (j < t.size() && (t[j] == '+' || t[j] == '-'))
            j++;
        size_t exp_begin = j;
        while (j < t.size() && isdigit((unsigned char)t[j]))
            j++;
        if (j == exp_begin)
            return NAN;
    }
    if (j != t.size())
        return NAN;
    return strtod(t.c_str(), nullptr);
}

static int to_int32(double d)
{
    if (isnan(d) || isinf(d))
        return 0;
    double m = fmod(trunc(d), 4294967296.0);
    if (m < 0)
        m += 4294967296.0;
    return (int)(uint32_t)m;
}

JSValue::JSValue() : kind_(kUndefined), number_(NAN), text_(ascii("undefined")) {}

JSValue::JSValue(bool value)
    : kind_(kBoolean), number_(value ? 1 : 0), text_(ascii(value ? "true" : "false"))
{
}

JSValue::JSValue(int value)
    : kind_(kInteger), number_(value), text_(ascii(std::to_string(value).c_str()))
{
}

JSValue::JSValue(double value)
    : kind_(kDouble), number_(value), text_(ascii(number_text(value).c_str()))
{
}

JSValue::JSValue(const WebString &value) : kind_(kString), number_(text_number(value)), text_(value)
{
}

JSValue::JSValue(const JSObject &value)
    : kind_(kObject), number_(NAN), text_(ascii("[object Object]")), object_(value)
{
}

// Array.prototype.toString: the items' texts joined by commas, undefined and null as "".
JSValue::JSValue(const JSArray &value) : kind_(kArray)
{
    for (unsigned int i = 0; i < value.size(); i++) {
        if (i)
            text_.Append(ascii(","));
        if (!value[i].IsUndefined() && !value[i].IsNull())
            text_.Append(value[i].ToString());
    }
    number_ = text_number(text_);
    array_ = std::make_shared<const JSArray>(value);
}

JSValue JSValue::FromPage(Kind kind, double number, const WebString &text)
{
    JSValue v;
    v.kind_ = kind;
    v.number_ = number;
    v.text_ = text;
    return v;
}

const JSValue &JSValue::Undefined()
{
    // The shared values are never destroyed: an exit from another thread must not take
    // them from the main loop.
    static const JSValue &undefined = *new JSValue();
    return undefined;
}

const JSValue &JSValue::Null()
{
    static const JSValue &null = *new JSValue(FromPage(kNull, 0, ascii("null")));
    return null;
}

int JSValue::ToInteger() const
{
    return to_int32(number_);
}

bool JSValue::ToBoolean() const
{
    switch (kind_) {
    case kUndefined:
    case kNull:
        return false;
    case kString:
        return !text_.IsEmpty();
    case kObject:
    case kArray:
        return true;
    default:
        return number_ != 0 && !isnan(number_);
    }
}

const JSArray &JSValue::ToArray() const
{
    static const JSArray &empty = *new JSArray();
    return array_ ? *array_ : empty;
}

const JSValue &JSArray::operator[](unsigned int index) const
{
    return index < values_.size() ? values_[index] : JSValue::Undefined();
}

JSValue &JSArray::operator[](unsigned int index)
{
    if (index < values_.size())
        return values_[index];
    past_end_ = JSValue();
    return past_end_;
}

// ---- global objects ----

namespace detail {

GlobalObjectDef *GlobalObjectTable::find(unsigned int id)
{
    for (GlobalObjectDef &def : objects)
        if (def.id == id)
            return &def;
    return nullptr;
}

GlobalObjectDef *GlobalObjectTable::find(const WebString &name)
{
    for (GlobalObjectDef &def : objects)
        if (def.name == name)
            return &def;
    return nullptr;
}

JSObject GlobalObjectTable::handle(const std::shared_ptr<GlobalObjectTable> &table, unsigned int id)
{
    JSObject object;
    object.table_ = table;
    object.id_ = id;
    return object;
}

bool is_script_identifier(const WebString &name)
{
    if (name.IsEmpty())
        return false;
    for (unsigned int i = 0; i < name.length(); i++) {
        char16_t c = name.data()[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
        if (!letter && !(i > 0 && c >= '0' && c <= '9'))
            return false;
    }
    return true;
}

}  // namespace detail

WebString JSObject::name() const
{
    detail::GlobalObjectDef *def = table_ ? table_->find(id_) : nullptr;
    return def ? def->name : WebString();
}

void JSObject::SetProperty(const WebString &name, const JSValue &value)
{
    detail::GlobalObjectDef *def = table_ && table_->view_alive ? table_->find(id_) : nullptr;
    if (!def) {
        last_error_ = kError_ObjectGone;
        return;
    }
    // Only plain values cross into the page.
    if (name.IsEmpty() || value.IsObject() || value.IsArray()) {
        last_error_ = kError_BadParameter;
        return;
    }
    for (auto &property : def->properties) {
        if (property.first == name) {
            property.second = value;
            last_error_ = kError_None;
            return;
        }
    }
    def->properties.emplace_back(name, value);
    last_error_ = kError_None;
}

void JSObject::SetCustomMethod(const WebString &method_name, bool has_return_value)
{
    detail::GlobalObjectDef *def = table_ && table_->view_alive ? table_->find(id_) : nullptr;
    if (!def) {
        last_error_ = kError_ObjectGone;
        return;
    }
    if (method_name.IsEmpty()) {
        last_error_ = kError_BadParameter;
        return;
    }
    last_error_ = kError_None;
    for (auto &method : def->methods) {
        if (method.first == method_name) {
            method.second = has_return_value;
            return;
        }
    }
    def->methods.emplace_back(method_name, has_return_value);
}

}  // namespace Awesomium
