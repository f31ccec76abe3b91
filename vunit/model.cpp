// The unit's behaviour: its two faces (running firmware and loader), the serial flash with
// its status register, and the faults that tests ask for.
#include <algorithm>
#include <cstdio>

#include "internal.h"

namespace vunit_detail {

namespace {

constexpr size_t sector_size = 4096;
constexpr uint8_t protection_bits = 0x7C;  // block-protect bits of the status register
constexpr uint8_t writable_status = 0xFC;  // busy and write-enable bits are read-only
constexpr uint8_t status_ok = 0, status_protected = 1, status_bad_argument = 2;
constexpr uint32_t new_layout_info = 0xFD000, old_layout_info = 0x7D000, old_layout_params = 0x7E000;
constexpr size_t version_reply_length = 33;
constexpr size_t read_reply_new = 256, read_reply_old = 4110;
constexpr double checksum_range = 0x7D000;  // the bytes whose checksum takes crc_ms
constexpr uint32_t max_speed = 12000000;       // the loader takes no speed change above
constexpr uint32_t ignored_rate = 1000000;     // what a loader that ignores the rate runs at
constexpr uint8_t garble_mask = 0x5A;          // a garbling unit's bytes: none as it meant them

void put_le32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}

// Replies take the shape of an HCI Command Complete event: 04 0E, parameter length, then
// the command's opcode bytes. The parameter length is the count of the bytes after it,
// capped at 255 for the long read replies.
std::vector<uint8_t> event(std::initializer_list<uint8_t> params)
{
    std::vector<uint8_t> r(3 + params.size());
    r[0] = 0x04;
    r[1] = 0x0E;
    r[2] = uint8_t(params.size());
    std::copy(params.begin(), params.end(), r.begin() + 3);
    return r;
}

// Loader replies to extended frames: 04 0E len 01 E0 FC F4, a 16-bit count, sub-command, status.
std::vector<uint8_t> extended_event(uint8_t sub, uint8_t status, std::initializer_list<uint8_t> rest)
{
    const size_t count = 2 + rest.size();
    const uint8_t head[] = {0x04, 0x0E, uint8_t(6 + count), 0x01, 0xE0, 0xFC, 0xF4, uint8_t(count), uint8_t(count >> 8), sub, status};
    std::vector<uint8_t> r(sizeof head + rest.size());
    std::copy(head, head + sizeof head, r.begin());
    std::copy(rest.begin(), rest.end(), r.begin() + sizeof head);
    return r;
}

int normalized(int kind)
{
    switch (kind) {
    case 3: case 4: return 2;   // the bursts are handshake frames
    case 24: return 22;         // "/v" either way
    case 19: return 18;         // one sector-read frame
    default: return kind;
    }
}

bool hex_value(const std::string& text, size_t digits, uint32_t& value)
{
    if (text.size() != digits)
        return false;
    value = 0;
    for (char c : text) {
        int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (d < 0)
            return false;
        value = value << 4 | uint32_t(d);
    }
    return true;
}

bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>& out)
{
    out.clear();
    if (text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        uint32_t v;
        if (!hex_value(text.substr(i, 2), 2, v))
            return false;
        out.push_back(uint8_t(v));
    }
    return true;
}

bool parse_count(const std::string& text, long& out)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stol(text);
    return true;
}

std::vector<std::string> split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(sep, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

bool parse_address(const std::string& text, uint32_t& nap, uint32_t& uap, uint32_t& lap)
{
    auto parts = split(text, ':');
    return parts.size() == 3 && hex_value(parts[0], 4, nap) && hex_value(parts[1], 2, uap) && hex_value(parts[2], 6, lap);
}

char hex_digit(unsigned v) { return "0123456789ABCDEF"[v & 0xF]; }

}  // namespace

std::vector<uint8_t> info_sector(uint16_t nap, uint8_t uap, uint32_t lap)
{
    std::vector<uint8_t> s(sector_size, 0xFF);
    const uint8_t address[6] = {uint8_t(lap), uint8_t(lap >> 8), uint8_t(lap >> 16), uap, uint8_t(nap), uint8_t(nap >> 8)};
    std::copy(address, address + 6, s.begin());
    const std::string name = std::string("Pelmo4Rix(") + hex_digit(lap >> 8) + hex_digit(lap >> 4) + hex_digit(lap) + ")";
    std::copy(name.begin(), name.end(), s.begin() + 6);
    std::fill(s.begin() + 20, s.begin() + 38, 0x00);
    return s;
}

// The optional COUNT and AFTER fields of a fault, from part `at` on.
bool parse_counts(const std::vector<std::string>& p, size_t at, fault& f)
{
    return (p.size() <= at || parse_count(p[at], f.count)) && (p.size() <= at + 1 || parse_count(p[at + 1], f.after));
}

bool parse_fault(const std::string& text, fault& f, std::string& error)
{
    auto p = split(text, ':');
    const std::string& name = p[0];
    long kind = 0;
    bool ok = true;
    f = fault{};
    if (name == "silent-until-restart" || name == "bad-crc" || name == "noise") {
        ok = p.size() == 1;
        f.type = name == "noise" ? fault::noise : name == "bad-crc" ? fault::bad_crc : fault::silent;
    } else if (name == "unplug-after-sectors" || name == "unerased") {
        long n = 0;
        ok = p.size() == 2 && parse_count(p[1], n);
        f.type = name == "unerased" ? fault::unerased : fault::unplug_after;
        f.length = size_t(n);
    } else if (name == "no-reply") {
        ok = (p.size() >= 2 && p.size() <= 4) && parse_count(p[1], kind) && parse_counts(p, 2, f);
        f.type = fault::no_reply;
    } else if (name == "short-reply") {
        long len = 0;
        ok = (p.size() >= 3 && p.size() <= 5) && parse_count(p[1], kind) && parse_count(p[2], len) && parse_counts(p, 3, f);
        f.type = fault::short_reply;
        f.length = size_t(len);
    } else if (name == "reply") {
        ok = (p.size() >= 3 && p.size() <= 5) && parse_count(p[1], kind) && parse_hex_bytes(p[2], f.bytes) &&
             parse_counts(p, 3, f);
        f.type = fault::reply;
    } else {
        error = "unknown fault '" + text + "'";
        return false;
    }
    if (ok && (f.type == fault::no_reply || f.type == fault::short_reply || f.type == fault::reply))
        ok = kind_name(int(kind)) != nullptr;
    if (!ok) {
        error = "bad fault '" + text + "'";
        return false;
    }
    f.kind = int(kind);
    return true;
}

bool check_config(const vunit_config& c, std::string& error)
{
    uint32_t nap, uap, lap;
    std::vector<uint8_t> params;
    fault f;
    if (c.version.size() != 3)
        error = "--version takes three characters";
    else if (c.flash_mbit != 4 && c.flash_mbit != 8)
        error = "--flash-mbit takes 4 or 8";
    else if (!c.stored_address.empty() && !parse_address(c.stored_address, nap, uap, lap))
        error = "--stored-address takes NAP:UAP:LAP in hex, e.g. 0604:03:123456";
    else if (!c.params.empty() && (c.params.size() != 32 || !parse_hex_bytes(c.params, params)))
        error = "--params takes 32 hex digits";
    else if (c.list && c.device_dir.empty())
        error = "--list needs --device-dir";
    else if (c.name.empty() || c.name.find('/') != std::string::npos)
        error = "--name must be a plain file name";
    else if (c.erase_ms < -1 || c.write_ms < -1 || c.crc_ms < -1 || c.erase_block_ms < -1 || c.erase_sector_ms < -1 ||
             c.trace_rate < 0)
        error = "delays and rates must not be negative";
    else if (c.firmware_baud != 115200 && c.firmware_baud != 1000000)
        error = "--firmware-baud takes 115200 or 1000000";
    else if (c.adapter_latency_ms < 0 || c.adapter_latency_ms > 255)
        error = "--adapter-latency-ms takes 0 to 255";
    else if (c.max_baud < 1200 || c.max_baud > max_speed)
        error = "--max-baud takes 1200 to " + std::to_string(max_speed);
    else if (c.baud_fault != "ignore" && c.baud_fault != "refuse" && c.baud_fault != "garble")
        error = "--baud-fault takes ignore, refuse or garble";
    else {
        for (const auto& text : c.faults)
            if (!parse_fault(text, f, error))
                return false;
        return true;
    }
    return false;
}

bool unit_model::init(const vunit_config& c, std::string& error)
{
    if (!check_config(c, error))
        return false;
    version = c.version;
    new_layout = static_cast<signed char>(version[0]) > '2';
    flash.assign(size_t(c.flash_mbit) * 1024 * 1024 / 8, 0xFF);
    // An option given wins; else --erase-ms for both erases; else the typical part at line rate.
    auto chosen = [&](int given, int fallback, int typical) {
        return given >= 0 ? given : fallback >= 0 ? fallback : c.line_rate ? typical : 0;
    };
    erase_block_ms = chosen(c.erase_block_ms, c.erase_ms, typical_flash.erase_block_ms);
    erase_sector_ms = chosen(c.erase_sector_ms, c.erase_ms, typical_flash.erase_sector_ms);
    write_ms = chosen(c.write_ms, -1, typical_flash.write_ms);
    crc_ms = chosen(c.crc_ms, -1, typical_flash.crc_ms);
    firmware_baud = baud = c.firmware_baud;
    max_baud = c.max_baud;
    baud_fault = c.baud_fault == "refuse" ? baud_refuse : c.baud_fault == "garble" ? baud_garble : baud_ignore;
    if (!c.flash_in.empty()) {
        FILE* in = std::fopen(c.flash_in.c_str(), "rb");
        if (!in) {
            error = "cannot read " + c.flash_in;
            return false;
        }
        std::fread(flash.data(), 1, flash.size(), in);  // a shorter file fills the start
        bool longer = std::fgetc(in) != EOF;
        std::fclose(in);
        if (longer) {
            error = c.flash_in + " is larger than the flash";
            return false;
        }
    }
    const uint32_t mask = uint32_t(flash.size() - 1);
    const uint32_t info_at = (new_layout ? new_layout_info : old_layout_info) & mask;
    if (!c.stored_address.empty()) {
        uint32_t nap, uap, lap;
        parse_address(c.stored_address, nap, uap, lap);
        auto sector = info_sector(uint16_t(nap), uint8_t(uap), lap);
        std::copy(sector.begin(), sector.end(), flash.begin() + info_at);
    }
    if (!c.params.empty()) {
        std::vector<uint8_t> block;
        parse_hex_bytes(c.params, block);
        if (new_layout) {  // "XS", one byte, then the block
            flash[info_at + 48] = 'X';
            flash[info_at + 49] = 'S';
            std::copy(block.begin(), block.end(), flash.begin() + info_at + 51);
        } else {  // the marker is the block's own bytes 8 and 9
            const uint32_t at = (old_layout_params & mask) + 500;
            std::copy(block.begin(), block.end(), flash.begin() + at);
            flash[at + 8] = 'X';
            flash[at + 9] = 'S';
        }
    }
    boot_from_flash = c.boot_from_flash;
    loader = no_firmware();
    for (const auto& text : c.faults) {
        fault f;
        parse_fault(text, f, error);
        if (f.type == fault::silent)
            silent = true;
        else if (f.type == fault::bad_crc)
            bad_crc = true;
        else if (f.type == fault::noise)
            noise = true;
        else if (f.type == fault::unplug_after)
            unplug_after = long(f.length);
        else if (f.type == fault::unerased)
            unerased_sector = long(f.length);
        else
            faults.push_back(f);
    }
    return true;
}

// Finds the first fault of `type` for `kind` with frames left, and counts this frame off.
bool unit_model::take_fault(fault::type_t type, int kind, fault** found)
{
    for (auto& f : faults) {
        if (f.type != type || normalized(f.kind) != normalized(kind) || f.count == 0)
            continue;
        if (f.after > 0) {
            --f.after;
            continue;
        }
        if (f.count > 0)
            --f.count;
        if (found)
            *found = &f;
        return true;
    }
    return false;
}

bool unit_model::no_firmware() const
{
    return boot_from_flash && std::all_of(flash.begin(), flash.begin() + sector_size, [](uint8_t b) { return b == 0xFF; });
}

void unit_model::restart()
{
    loader = no_firmware();
    baud = firmware_baud;
    trace_on = false;
    silent = false;
    restart_armed = false;
    garbled = false;
}

plan unit_model::handle(const std::vector<uint8_t>& frame, int kind)
{
    // A silent unit still listens for the restart pair; it answers nothing.
    if (silent) {
        if (kind == 10 && restart_armed)
            restart();
        else
            restart_armed = kind == 9;
        return {};
    }
    if (take_fault(fault::no_reply, kind, nullptr))
        return {};  // the frame is lost on the unit's side: no action, no reply
    bool was_armed = restart_armed;
    restart_armed = false;
    plan p = loader ? loader_face(frame, kind) : running_face(frame, kind);
    if (kind == 9)
        restart_armed = true;
    if (kind == 10 && was_armed) {
        restart();
        p.baud_after = firmware_baud;
    }
    if (!p.send)
        return p;
    if (kind == 17 && bad_crc)
        p.reply[7] ^= 0x01;
    fault* f = nullptr;
    bool changed = false;
    if (take_fault(fault::reply, kind, &f)) {
        p.reply = f->bytes;
        changed = true;
    } else if (take_fault(fault::short_reply, kind, &f) && f->length < p.reply.size()) {
        p.reply.resize(f->length);
        changed = true;
    }
    if (changed && kind == 7)
        p.baud_after = 0;  // a unit that does not give its normal answer keeps its speed
    if (garbled && kind != 7)
        for (auto& b : p.reply)
            b = uint8_t(b ^ garble_mask);
    return p;
}

plan unit_model::running_face(const std::vector<uint8_t>& frame, int kind)
{
    plan p;
    switch (kind) {
    case 1:  // the probe and the restart pair are answered as the loader answers them
    case 9:
    case 10:
        return loader_face(frame, kind);
    case 2:  // the handshake opens the loader
        loader = true;
        trace_on = false;
        return loader_face(frame, kind);
    case 5:  // the boot pattern opens the loader without an answer
        loader = true;
        trace_on = false;
        return p;
    case 21:
        trace_on = false;
        return p;
    case 22: {
        std::string text = "\r\nPR Version = " + version + " Pelmo4Rix fw";
        text.resize(version_reply_length - 2, ' ');
        text += "\r\n";
        p.reply.assign(text.begin(), text.end());
        break;
    }
    case 23:
        trace_on = true;
        return p;
    default:  // the running firmware knows no loader commands
        return p;
    }
    p.send = true;
    return p;
}

// The speed change: up to max_baud the loader takes the rate asked; above it, as its
// baud_fault says, it takes 1,000,000 instead, refuses, or takes it and talks garbage.
plan unit_model::speed_change(const std::vector<uint8_t>& f)
{
    plan p;
    uint32_t rate = le32(f, 5);
    if (rate < 1200 || rate > max_speed)
        return p;
    p.send = true;
    if (rate > max_baud && baud_fault == baud_refuse) {
        p.reply = event({0x01, 0xE0, 0xFC, 0x0F, status_bad_argument});
        return p;
    }
    p.reply = event({0x01, 0xE0, 0xFC, 0x0F, f[5], f[6], f[7], f[8], status_ok});
    p.baud_after = rate > max_baud && baud_fault == baud_ignore ? ignored_rate : rate;
    garbled = rate > max_baud && baud_fault == baud_garble;
    return p;
}

plan unit_model::loader_face(const std::vector<uint8_t>& f, int kind)
{
    const uint32_t mask = uint32_t(flash.size() - 1);
    const bool locked = (status_register & protection_bits) != 0;
    plan p;
    p.send = true;
    switch (kind) {
    case 1:
        p.reply = event({0x01, 0xE0, 0xFC, 0x01, 0x00});
        break;
    case 2:
        p.reply = event({0x01, 0xE0, 0xFC, 0x02, 0x00});
        break;
    case 7:
        return speed_change(f);
    case 9:
    case 10:
        if (kind == 9)
            p.reply = event({0x01, 0xE0, 0xFC, f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11], f[12]});
        else
            p.reply = {0x04, 0x0E, 0x02, 0x01, 0xE0};
        break;
    case 11:
        p.reply = extended_event(0x0C, f[8] == 0x05 ? status_ok : status_bad_argument, {f[8], status_register});
        break;
    case 12: {
        uint8_t st = status_bad_argument;
        if (f[8] == 0x01) {
            status_register = uint8_t((status_register & ~writable_status) | (f[9] & writable_status));
            st = status_ok;
        }
        p.reply = extended_event(0x0D, st, {f[8], status_register});
        break;
    }
    case 13: {
        uint32_t at = frame_address(f, kind);
        size_t size = f[8] == 0xD8 ? 0x10000 : f[8] == 0x52 ? 0x8000 : f[8] == 0x20 ? 0x1000 : 0;
        uint8_t st = locked ? status_protected : size ? status_ok : status_bad_argument;
        if (st == status_ok) {
            uint32_t first = (at & ~uint32_t(size - 1)) & mask;
            size_t worn = size_t(unerased_sector) * sector_size;
            std::vector<uint8_t> kept;
            if (unerased_sector >= 0 && worn < flash.size())
                kept.assign(flash.begin() + long(worn), flash.begin() + long(worn + sector_size));
            std::fill(flash.begin() + first, flash.begin() + first + std::min<size_t>(size, flash.size()), 0xFF);
            if (!kept.empty())
                std::copy(kept.begin(), kept.end(), flash.begin() + long(worn));
        }
        p.reply = extended_event(0x0F, st, {f[8], f[9], f[10], f[11], f[12]});
        p.delay_ms = size == 0x1000 ? erase_sector_ms : erase_block_ms;
        break;
    }
    case 14:
    case 15: {
        uint32_t at = le32(f, 8);
        if (!locked)
            for (size_t k = 12; k < f.size(); ++k)
                flash[(at + uint32_t(k - 12)) & mask] &= f[k];  // programming only clears bits
        p.reply = extended_event(0x07, locked ? status_protected : status_ok, {f[8], f[9], f[10], f[11]});
        p.delay_ms = write_ms;
        ++sector_writes;
        p.unplug = unplug_after >= 0 && sector_writes >= unplug_after;
        if (p.unplug)
            p.send = false;
        break;
    }
    case 17: {
        uint32_t first = le32(f, 5), last = le32(f, 9);
        std::vector<uint8_t> range;
        uint64_t count = last >= first ? uint64_t(last) - first + 1 : 0;
        count = std::min<uint64_t>(count, 4 * flash.size());
        range.reserve(size_t(count));
        for (uint64_t k = 0; k < count; ++k)
            range.push_back(flash[(first + uint32_t(k)) & mask]);
        uint32_t crc = crc32_jamcrc(range.data(), range.size());
        p.reply = {0x04, 0x0E, 0x08, 0x01, 0xE0, 0xFC, 0x10};
        put_le32(p.reply, crc);
        p.delay_ms = double(crc_ms) * double(count) / checksum_range;  // the bytes are read one by one
        break;
    }
    case 18: {
        uint32_t at = le32(f, 8);
        size_t length = new_layout ? read_reply_new : read_reply_old;
        p.reply = extended_event(0x09, status_ok, {f[8], f[9], f[10], f[11]});
        for (size_t k = 0; p.reply.size() < length; ++k)  // reply byte 15 + k is flash byte at + k
            p.reply.push_back(flash[(at + uint32_t(k)) & mask]);
        p.reply[2] = uint8_t(std::min<size_t>(length - 3, 255));
        p.reply[7] = uint8_t(length - 9);
        p.reply[8] = uint8_t((length - 9) >> 8);
        break;
    }
    default:  // text commands and unknown frames: the loader stays quiet
        p.send = false;
        break;
    }
    return p;
}

}  // namespace vunit_detail
