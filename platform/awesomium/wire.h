// The messages between the program and the page-side helper over their UNIX stream
// socket. Both ends run on this machine, so numbers travel in host byte order.
//
// Frame: u32 size of what follows, u8 type, payload. Texts are u32 length + UTF-8
// bytes; a value is u8 JSValue::Kind, f64 ToNumber, text ToString.
//
//   helper -> program
//     hello        u64 page id, u32 process id           first message of a connection
//     get_objects  u32 seq                                the page waits for "objects"
//     call         u32 seq (0: no result), u32 object id, text method, u32 n, n values
//     console      text source, i32 line, text message
//     doc_ready    text url
//   program -> helper
//     objects      u32 seq, u32 n, n x (text name, u32 id, u32 np, np x (text, value),
//                  u32 nm, nm x (text, u8 has result))
//     result       u32 seq, value
//
// The helper waits for one answer at a time and drops answers whose seq it no longer
// waits for (one that came after its time-out).
#pragma once

#include <stdint.h>
#include <string.h>

#include <string>

namespace zandoro_wire {

enum Type : uint8_t {
    hello = 1,
    get_objects,
    call,
    console,
    doc_ready,
    objects = 101,
    result,
};

// A frame larger than this is a broken peer, not a big argument list.
const uint32_t max_frame = 64u << 20;

struct Value {
    uint8_t kind = 0;  // JSValue::Kind
    double number = 0;
    std::string text;
};

class Writer {
public:
    explicit Writer(Type type) : buf_(4, '\0') { u8(type); }
    void u8(uint8_t v) { buf_.push_back((char)v); }
    void u32(uint32_t v) { put(&v, sizeof v); }
    void i32(int32_t v) { put(&v, sizeof v); }
    void u64(uint64_t v) { put(&v, sizeof v); }
    void f64(double v) { put(&v, sizeof v); }
    void text(const std::string &s)
    {
        u32((uint32_t)s.size());
        buf_.append(s);
    }
    void value(const Value &v)
    {
        u8(v.kind);
        f64(v.number);
        text(v.text);
    }
    // The whole frame, its size filled in.
    const std::string &frame()
    {
        uint32_t size = (uint32_t)(buf_.size() - 4);
        memcpy(&buf_[0], &size, 4);
        return buf_;
    }

private:
    void put(const void *p, size_t n) { buf_.append((const char *)p, n); }
    std::string buf_;
};

// Reads a payload; a read past its end fails and every later read fails too.
class Reader {
public:
    Reader(const char *data, size_t size) : p_(data), end_(data + size) {}
    bool ok() const { return ok_; }
    bool at_end() const { return p_ == end_; }
    uint8_t u8()
    {
        uint8_t v = 0;
        get(&v, 1);
        return v;
    }
    uint32_t u32()
    {
        uint32_t v = 0;
        get(&v, 4);
        return v;
    }
    int32_t i32()
    {
        int32_t v = 0;
        get(&v, 4);
        return v;
    }
    uint64_t u64()
    {
        uint64_t v = 0;
        get(&v, 8);
        return v;
    }
    double f64()
    {
        double v = 0;
        get(&v, 8);
        return v;
    }
    std::string text()
    {
        uint32_t n = u32();
        if (!ok_ || n > (size_t)(end_ - p_)) {
            ok_ = false;
            return std::string();
        }
        std::string s(p_, n);
        p_ += n;
        return s;
    }
    Value value()
    {
        Value v;
        v.kind = u8();
        v.number = f64();
        v.text = text();
        return v;
    }

private:
    void get(void *out, size_t n)
    {
        if (!ok_ || n > (size_t)(end_ - p_)) {
            ok_ = false;
            return;
        }
        memcpy(out, p_, n);
        p_ += n;
    }
    const char *p_, *end_;
    bool ok_ = true;
};

// Takes the next whole frame off the front of buf: its type and payload. Returns
// false while the frame is incomplete; sets *broken for a frame no peer would send.
inline bool take_frame(std::string &buf, uint8_t *type, std::string *payload, bool *broken)
{
    *broken = false;
    if (buf.size() < 4)
        return false;
    uint32_t size;
    memcpy(&size, buf.data(), 4);
    if (size == 0 || size > max_frame) {
        *broken = true;
        return false;
    }
    if (buf.size() - 4 < size)
        return false;
    *type = (uint8_t)buf[4];
    payload->assign(buf, 5, size - 1);
    buf.erase(0, 4 + (size_t)size);
    return true;
}

}  // namespace zandoro_wire
