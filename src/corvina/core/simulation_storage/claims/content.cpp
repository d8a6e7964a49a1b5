// The text of a claim: made once by its holder, its heartbeat rewritten in
// place, read back by waiters.
#include "claims/claim.hpp"

#include "frame/text.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace css::claims {

namespace {

constexpr size_t kBeatsWidth = 20;  // digits of a 64-bit count, space-padded

// A JSON string of `s` (UTF-8, with escapes for quotes, backslashes and
// control characters).
void write_json_string(std::string& out, std::string_view s) {
    out.push_back('"');
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out.append(buf);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
}

std::string random_token() {
    unsigned char raw[16] = {};
    if (getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) {
        // No entropy source: the time and process still make it unique enough
        // to tell this holder's claim from another's.
        timespec t{};
        clock_gettime(CLOCK_REALTIME, &t);
        unsigned long long a = static_cast<unsigned long long>(t.tv_nsec) ^
                               (static_cast<unsigned long long>(getpid()) << 32);
        unsigned long long b = static_cast<unsigned long long>(t.tv_sec);
        for (int i = 0; i < 8; ++i) raw[i] = static_cast<unsigned char>(a >> (8 * i));
        for (int i = 0; i < 8; ++i) raw[8 + i] = static_cast<unsigned char>(b >> (8 * i));
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
    }
    return out;
}

// Asked once per process: a claim is made per miss.
const std::string& host_name() {
    static const std::string name = [] {
        char buf[256] = {};
        return gethostname(buf, sizeof buf - 1) == 0 ? std::string(buf) : std::string("unknown");
    }();
    return name;
}

// The first line of a small system file, without its line end; empty when
// it cannot be read.
std::string first_line(const char* path) {
    char buf[128];
    ssize_t n = -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        do n = ::read(fd, buf, sizeof buf - 1);
        while (n < 0 && errno == EINTR);
        close(fd);
    }
    if (n <= 0) return {};
    std::string out(buf, static_cast<size_t>(n));
    size_t end = out.find('\n');
    if (end != std::string::npos) out.resize(end);
    return out;
}

// The kernel's boot ID: a new one at every boot, so that a pid from before a
// reboot is never mistaken for a process of this one. Read once per process.
const std::string& boot_id() {
    static const std::string id = first_line("/proc/sys/kernel/random/boot_id");
    return id;
}

// The PID namespace: containers that share a host name and a kernel (host
// networking) each number their processes on their own, and a pid means
// nothing across them.
const std::string& pid_namespace() {
    static const std::string ns = [] {
        char buf[64];
        ssize_t n = readlink("/proc/self/ns/pid", buf, sizeof buf);
        return n > 0 && static_cast<size_t>(n) < sizeof buf ? std::string(buf, static_cast<size_t>(n))
                                                              : std::string();
    }();
    return ns;
}

// Whether process `pid` of this namespace is a zombie: dead, only not yet
// reaped by its parent.
bool zombie(long pid) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    // "<pid> (<command, which may hold anything>) <state> ..."
    char buf[512];
    ssize_t n = -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    do n = ::read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) return false;
    std::string_view text(buf, static_cast<size_t>(n));
    size_t close_paren = text.rfind(')');
    return close_paren != std::string_view::npos && close_paren + 2 < text.size() &&
           text[close_paren + 2] == 'Z';
}

// The value of `"key": ` in our own layout: a JSON string (unescaped) or a
// bare token (a number). false: not there.
bool field(std::string_view text, std::string_view key, std::string& out) {
    std::string needle = "\"";
    needle.append(key);
    needle.append("\": ");
    size_t at = text.find(needle);
    if (at == std::string_view::npos) return false;
    size_t i = at + needle.size();
    while (i < text.size() && text[i] == ' ') ++i;
    out.clear();
    if (i < text.size() && text[i] == '"') {
        for (++i; i < text.size(); ++i) {
            char c = text[i];
            if (c == '"') return true;
            if (c == '\\' && i + 1 < text.size()) c = text[++i];
            out.push_back(c);
        }
        return false;  // cut off
    }
    while (i < text.size() && text[i] != ',' && text[i] != '}' && text[i] != '\n')
        out.push_back(text[i++]);
    return i < text.size();
}

}  // namespace

std::string utc_now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    tm parts{};
    gmtime_r(&t.tv_sec, &parts);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06ld+00:00",
                  parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min, parts.tm_sec, static_cast<long>(t.tv_nsec / 1000));
    return buf;
}

bool Content::make(PyObject* simulation_id, PyObject* component_name, PyObject* simulation_type,
                   int generation, double lease, Content& out) {
    std::string id, component, type;
    if (!utf8_escaping_surrogates(simulation_id, id) || !utf8_escaping_surrogates(component_name, component) ||
        !utf8_escaping_surrogates(simulation_type, type))
        return false;
    char* lease_text = PyOS_double_to_string(lease, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!lease_text) return false;
    std::string lease_repr(lease_text);
    PyMem_Free(lease_text);

    std::string& t = out.text_;
    t.clear();
    t.append("{\"simulation_id\": ");
    write_json_string(t, id);
    t.append(", \"component_name\": ");
    write_json_string(t, component);
    t.append(", \"simulation_type\": ");
    write_json_string(t, type);
    t.append(", \"generation\": ");
    t.append(std::to_string(generation));
    out.owner_ = random_token();
    t.append(", \"owner\": ");
    write_json_string(t, out.owner_);
    t.append(", \"host\": ");
    write_json_string(t, host_name());
    t.append(", \"pid\": ");
    t.append(std::to_string(static_cast<long long>(getpid())));
    t.append(", \"boot_id\": ");
    write_json_string(t, boot_id());
    t.append(", \"pid_namespace\": ");
    write_json_string(t, pid_namespace());
    const std::string now = utc_now();
    t.append(", \"started\": ");
    write_json_string(t, now);
    t.append(", \"lease_seconds\": ");
    t.append(lease_repr);
    t.append(", \"heartbeat\": \"");
    out.heartbeat_at_ = t.size();
    t.append(now);
    t.append("\", \"beats\": ");
    out.beats_at_ = t.size();
    t.append(kBeatsWidth - 1, ' ');
    t.push_back('0');
    t.append("}\n");
    out.beats_ = 0;
    return true;
}

void Content::beat() {
    ++beats_;
    const std::string now = utc_now();
    text_.replace(heartbeat_at_, now.size(), now);
    std::string digits = std::to_string(beats_);
    std::string padded(kBeatsWidth - digits.size(), ' ');
    padded += digits;
    text_.replace(beats_at_, kBeatsWidth, padded);
}

Parsed parse(std::string_view text) {
    Parsed p;
    std::string value;
    if (field(text, "lease_seconds", value)) {
        char* end = nullptr;
        double d = std::strtod(value.c_str(), &end);
        if (end != value.c_str() && d > 0 && d < 1e9) p.lease = d;
    }
    field(text, "owner", p.owner);
    field(text, "host", p.host);
    field(text, "pid", p.pid);
    field(text, "boot_id", p.boot_id);
    field(text, "pid_namespace", p.pid_namespace);
    field(text, "started", p.started);
    field(text, "heartbeat", p.heartbeat);
    return p;
}

bool holder_gone(const Parsed& p) {
    if (p.boot_id.empty() || p.pid_namespace.empty() || p.boot_id != boot_id() ||
        p.pid_namespace != pid_namespace() || p.host != host_name())
        return false;
    // Digits only: kill() reads 0 and negative numbers as process groups.
    if (p.pid.empty() || p.pid.size() > 9 || p.pid.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long pid = std::strtol(p.pid.c_str(), nullptr, 10);
    if (pid <= 0 || pid == static_cast<long>(getpid())) return false;
    // EPERM: it runs, as another user's process.
    if (kill(static_cast<pid_t>(pid), 0) != 0) return errno == ESRCH;
    return zombie(pid);
}

}  // namespace css::claims
