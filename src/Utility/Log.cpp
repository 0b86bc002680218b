#include "Log.h"

#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The scheduler reads every line start of standard error as a possible
// control message (STATE:, PPD:, ATTR:, PAGE: ...). A value the filter logs
// comes from users (title, options, file names, credentials), so none of its
// control characters may reach the log raw.
size_t escapeControls(const char* text, size_t len, char* out) {
    size_t n = 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c >= 0x20 && c != 0x7f) {
            out[n++] = (char)c;
            continue;
        }
        out[n++] = '\\';
        switch (c) {
            case '\n': out[n++] = 'n'; break;
            case '\r': out[n++] = 'r'; break;
            case '\t': out[n++] = 't'; break;
            default: snprintf(out + n, 4, "x%02x", c); n += 3;
        }
    }
    out[n] = '\0';
    return n;
}

static const char* const kControlWords[] = {
    "ERROR:", "WARNING:", "INFO:", "PAGE:", "STATE:", "ATTR:", "PPD:"};

static bool startsControl(const char* text) {
    for (const char* word : kControlWords) {
        if (strncmp(text, word, strlen(word)) == 0) return true;
    }
    return false;
}

void logSecret(const char* secret) {
    if (secret == nullptr || secret[0] == '\0') return;
    std::vector<std::string>& secrets = jobContext().secrets;
    for (const std::string& known : secrets) {
        if (known == secret) return;
    }
    // Longest first, so a secret that holds another is masked whole.
    auto at = secrets.begin();
    while (at != secrets.end() && at->size() >= strlen(secret)) ++at;
    secrets.insert(at, secret);
}

void forgetLogSecrets() { jobContext().secrets.clear(); }

// Some messages (and the encoder's) leave their line open for the next one.
static void writeRaw(const char* text, size_t len) {
    if (len == 0) return;
    JobContext& context = jobContext();
    if (context.log_sink != nullptr) {
        context.log_sink(context.log_sink_data, text, len);
    } else {
        fwrite(text, 1, len, stderr);  // one write: one line
    }
    context.line_open = text[len - 1] != '\n';
}

void holdLog(HeldLog* held) { jobContext().held_log = held; }

void discardHeldLog(HeldLog* held) {
    free(held->text);
    *held = HeldLog();
}

static void deliver(const JobEvent& event) {
    JobContext& context = jobContext();
    if (context.event_sink != nullptr) context.event_sink(context.event_sink_data, event);
}

void releaseHeldLog(HeldLog* held) {
    if (held->len > 0 && held->starts_control && jobContext().line_open) writeRaw("\n", 1);
    writeRaw(held->text, held->len);
    for (const JobEvent& event : held->events) deliver(event);
    discardHeldLog(held);
}

void jobEvent(const JobEvent& event) {
    JobContext& context = jobContext();
    if (context.event_sink == nullptr) return;
    if (context.held_log != nullptr) {
        context.held_log->events.push_back(event);
    } else {
        deliver(event);
    }
}

// A WARNING: or ERROR: message, as the event a host is told of.
static void tellWarningOrError(const std::string& message) {
    static const struct {
        const char* word;
        JobEvent::Kind kind;
    } kWords[] = {{"WARNING: ", JobEvent::Warning}, {"ERROR: ", JobEvent::Error}};
    for (const auto& word : kWords) {
        size_t len = strlen(word.word);
        if (message.compare(0, len, word.word) != 0) continue;
        JobEvent event;
        event.kind = word.kind;
        event.reason = message.substr(len, message.find('\n', len) - len);
        jobEvent(event);
    }
}

// Appends to the held lines; without memory for them, writes them now.
static void keep(HeldLog* held, const char* text, size_t len, bool control) {
    bool newline = control && held->len > 0 && held->text[held->len - 1] != '\n';
    size_t needed = held->len + len + 1;
    if (needed > held->capacity) {
        size_t capacity = 2 * needed;
        char* grown = (char*)realloc(held->text, capacity);
        if (grown == nullptr) {
            releaseHeldLog(held);
            if (control && jobContext().line_open) writeRaw("\n", 1);
            writeRaw(text, len);
            return;
        }
        held->text = grown;
        held->capacity = capacity;
    }
    if (held->len == 0) held->starts_control = control;
    if (newline) held->text[held->len++] = '\n';
    memcpy(held->text + held->len, text, len);
    held->len += len;
}

static void emit(const std::string& message, bool control) {
    if (message.empty()) return;
    JobContext& context = jobContext();
    if (control && context.event_sink != nullptr) tellWarningOrError(message);
    if (context.held_log != nullptr) {
        keep(context.held_log, message.data(), message.size(), control);
        return;
    }
    if (control && context.line_open) {
        std::string whole = "\n" + message;
        writeRaw(whole.data(), whole.size());
    } else {
        writeRaw(message.data(), message.size());
    }
}

// A value as the log may show it: secrets masked, control characters
// escaped.
static void appendValue(std::string* out, std::string value) {
    for (const std::string& secret : jobContext().secrets) {
        for (size_t at = value.find(secret); at != std::string::npos;
             at = value.find(secret, at + strlen(PASSWORD_MASK))) {
            value.replace(at, secret.size(), PASSWORD_MASK);
        }
    }
    std::vector<char> escaped(value.size() * 4 + 1);
    size_t n = escapeControls(value.data(), value.size(), escaped.data());
    out->append(escaped.data(), n);
}

template <typename T>
static std::string formatted(const std::string& directive, T value) {
    int n = snprintf(nullptr, 0, directive.c_str(), value);
    if (n <= 0) return std::string();
    std::string text((size_t)n + 1, '\0');
    snprintf(&text[0], text.size(), directive.c_str(), value);
    text.resize((size_t)n);
    return text;
}

// printf's work, with the values of %s and %c passed through appendValue.
// Numbers can't hold control characters and are written as they come.
static std::string formatMessage(const char* fmt, va_list args) {
    std::string out;
    const char* p = fmt;
    while (*p != '\0') {
        if (*p != '%') {
            const char* next = strchr(p, '%');
            size_t n = next ? (size_t)(next - p) : strlen(p);
            out.append(p, n);
            p += n;
            continue;
        }
        p++;
        if (*p == '%') {
            out += '%';
            p++;
            continue;
        }
        std::string directive = "%";
        while (*p != '\0' && strchr("-+ #0", *p) != nullptr) directive += *p++;
        if (*p == '*') {
            directive += std::to_string(va_arg(args, int));
            p++;
        }
        while (isdigit((unsigned char)*p)) directive += *p++;
        if (*p == '.') {
            p++;
            if (*p == '*') {
                int precision = va_arg(args, int);
                if (precision >= 0) directive += "." + std::to_string(precision);
                p++;
            } else {
                directive += '.';
            }
            while (isdigit((unsigned char)*p)) directive += *p++;
        }
        std::string length;
        while (*p != '\0' && strchr("hlzjtL", *p) != nullptr) length += *p++;
        char conversion = *p;
        if (conversion == '\0') break;
        p++;
        directive += length;
        directive += conversion;
        switch (conversion) {
            case 'd':
            case 'i':
                if (length == "l") {
                    out += formatted(directive, va_arg(args, long));
                } else if (length == "ll") {
                    out += formatted(directive, va_arg(args, long long));
                } else if (length == "z" || length == "t") {
                    out += formatted(directive, va_arg(args, ptrdiff_t));
                } else if (length == "j") {
                    out += formatted(directive, va_arg(args, intmax_t));
                } else {
                    out += formatted(directive, va_arg(args, int));
                }
                break;
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                if (length == "l") {
                    out += formatted(directive, va_arg(args, unsigned long));
                } else if (length == "ll") {
                    out += formatted(directive, va_arg(args, unsigned long long));
                } else if (length == "z" || length == "t") {
                    out += formatted(directive, va_arg(args, size_t));
                } else if (length == "j") {
                    out += formatted(directive, va_arg(args, uintmax_t));
                } else {
                    out += formatted(directive, va_arg(args, unsigned));
                }
                break;
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (length == "L") {
                    out += formatted(directive, va_arg(args, long double));
                } else {
                    out += formatted(directive, va_arg(args, double));
                }
                break;
            case 'c': appendValue(&out, formatted(directive, va_arg(args, int))); break;
            case 's': {
                const char* text = va_arg(args, const char*);
                appendValue(&out, formatted(directive, text ? text : "(null)"));
                break;
            }
            case 'p': out += formatted(directive, va_arg(args, void*)); break;
            default: break;  // %n and the unknown: nothing to show
        }
    }
    return out;
}

void logMsg(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string message = formatMessage(fmt, args);
    va_end(args);
    emit(message, startsControl(fmt));
}

void logText(const char* text) { emit(text, startsControl(text)); }

const char* maskedSecret(const char* value) {
    return (value == nullptr || value[0] == '\0') ? value : PASSWORD_MASK;
}
