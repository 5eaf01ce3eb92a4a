#include <VelmoHal/device/Evt3StreamScan.h>
#include <VelmoHal/device/Evt3Words.h>
#include <VelmoHal/device/RawEventStreamFormat.h>
#include <VelmoHal/device/Logger.h>
#include <VelmoHal/device/RawFileHeader.h>
#include <VelmoHal/device/Recording.h>
#include <VelmoHal/device/SimulatedCamera.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

namespace velmo {

namespace {

constexpr const char* kMagicLine = "VELMO EVENT RECORDING";
constexpr std::string_view kVersionPrefix = "version: ";
// Room a read makes beyond the rate decoded so far: an eighth, for a busier span than the average.
constexpr double kRateHeadroom = 1.125;
constexpr const char* kEndLine = "end-header";
constexpr const char* kUnfinished = "unfinished";
// Far beyond any camera's time, and far enough below 2^64 that a position plus any span read
// stays exact: header times past it are refused.
constexpr std::uint64_t kLatestTimeUs = std::uint64_t{1} << 62;
// The two fields the writer fills in when it finishes: wide enough for any 64-bit value.
constexpr std::size_t kFieldWidth = 20;
// A header is a few hundred bytes; anything much longer is not one.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
// Small enough that a piece's records are still in cache when they are split at a read's end;
// large enough that a read costs a few system calls per hundred thousand events.
constexpr std::size_t kPlaybackChunkBytes = 64 * 1024;
// A read's last piece is sized to reach the read's end at the rate read so far, with this
// margin, and no smaller than kMinPieceBytes: the records past the end wait in the playback's
// own buffer and are copied once more, so the fewer the better.
constexpr double kPieceMargin = 1.0625;
constexpr std::size_t kMinPieceBytes = 4 * 1024;

// What a recording leaves free on its disk, so that the rest of the system goes on: this much,
// or a twentieth of a small disk.
constexpr std::uint64_t kSpareBytes = std::uint64_t{64} << 20;
constexpr std::uint64_t kSpareShare = 20;

std::string bytesText(double bytes) {
    static const char* const kUnits[] = {"bytes", "kB", "MB", "GB", "TB", "PB"};
    std::size_t unit = 0;
    while (bytes >= 999.95 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        bytes /= 1000;
        ++unit;
    }
    char text[48];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

std::string secondsText(std::uint64_t us) {
    char text[48];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(us) / 1e6);
    return text;
}

struct DiskSpace {
    std::uint64_t free;
    std::uint64_t spare;
};

// Nothing where the file system does not say.
std::optional<DiskSpace> diskSpaceOf(int fd) {
    struct statvfs disk {};
    if (::fstatvfs(fd, &disk) != 0) return std::nullopt;
    const std::uint64_t total = std::uint64_t{disk.f_blocks} * disk.f_frsize;
    return DiskSpace{std::uint64_t{disk.f_bavail} * disk.f_frsize, std::min(kSpareBytes, total / kSpareShare)};
}

[[noreturn]] void throwErrno(const std::string& what, const std::string& path) {
    throw std::system_error(errno, std::generic_category(), what + " " + path);
}

[[noreturn]] void refuseFile(const std::string& path, const std::string& reason) {
    throw std::invalid_argument(path + ": " + reason);
}

const char* typeName(ToolParameterType type) {
    switch (type) {
        case ToolParameterType::INT: return "int";
        case ToolParameterType::FLOAT: return "float";
        case ToolParameterType::BOOL: return "bool";
        case ToolParameterType::STRING: return "string";
        case ToolParameterType::ENUM: return "enum";
    }
    return "unknown";
}

std::optional<ToolParameterType> typeNamed(const std::string& name) {
    for (const ToolParameterType type : {ToolParameterType::INT, ToolParameterType::FLOAT, ToolParameterType::BOOL,
                                         ToolParameterType::STRING, ToolParameterType::ENUM}) {
        if (name == typeName(type)) return type;
    }
    return std::nullopt;
}

std::optional<std::string> valueText(CameraTool& tool, const std::string& name, ToolParameterType type) {
    switch (type) {
        case ToolParameterType::INT: {
            int value = 0;
            if (tool.getParam(name, value)) return std::to_string(value);
            break;
        }
        case ToolParameterType::FLOAT: {
            float value = 0;
            if (tool.getParam(name, value)) {
                char text[32];
                std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
                return std::string(text);
            }
            break;
        }
        case ToolParameterType::BOOL: {
            bool value = false;
            if (tool.getParam(name, value)) return std::string(value ? "true" : "false");
            break;
        }
        case ToolParameterType::STRING:
        case ToolParameterType::ENUM: {
            std::string value;
            if (tool.getParam(name, value)) return value;
            break;
        }
    }
    return std::nullopt;
}

std::string fixedField(std::optional<std::uint64_t> value) {
    std::string text = value ? std::to_string(*value) : kUnfinished;
    if (value) text.insert(0, kFieldWidth - text.size(), '0');
    text.resize(kFieldWidth, ' ');
    return text;
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size, const std::string& path) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            throwErrno("cannot write to", path);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void writeAllAt(int fd, const std::string& text, std::uint64_t offset, const std::string& path) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::pwrite(fd, data + done, text.size() - done, static_cast<off_t>(offset + done));
        if (written < 0) {
            if (errno == EINTR) continue;
            throwErrno("cannot write to", path);
        }
        done += static_cast<std::size_t>(written);
    }
}

std::size_t readAllAt(int fd, std::uint8_t* out, std::size_t size, std::uint64_t offset, const std::string& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throwErrno("cannot read", path);
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// A whole unsigned decimal number, or nothing.
std::optional<std::uint64_t> parseNumber(const std::string& text) {
    if (text.empty() || text.size() > kFieldWidth) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string trimmedRight(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// Reads the header's lines, key by key, refusing what a writer of this version never writes.
class HeaderParser {
public:
    explicit HeaderParser(const std::string& path) : path_(path) {}

    void line(const std::string& text, std::size_t number) {
        const std::size_t colon = text.find(": ");
        if (colon == std::string::npos) fail(number, "expected \"key: value\"");
        const std::string key = text.substr(0, colon);
        const std::string value = text.substr(colon + 2);
        if (key == "setting") {
            setting(value, number);
            return;
        }
        if (!fields_.emplace(key, std::make_pair(value, number)).second) fail(number, "a second " + key);
    }

    RecordingHeader finish() {
        header_.raw_format = take("raw-format");
        header_.camera.serial = take("serial");
        header_.camera.product = take("product");
        header_.camera.manufacturer = take("manufacturer");
        header_.camera.vid = static_cast<std::uint16_t>(number("vid", 0xFFFF));
        header_.camera.pid = static_cast<std::uint16_t>(number("pid", 0xFFFF));
        header_.camera.interfaceType = static_cast<INTERFACE_TYPE>(number("interface", 0xFFFFFFFF));
        header_.recorded_at = take("recorded-at");
        header_.start_us = number("start-us", kLatestTimeUs);
        header_.data_bytes = finishedField("data-bytes");
        header_.end_us = finishedField("end-us");
        if (header_.data_bytes.has_value() != header_.end_us.has_value())
            refuseFile(path_, "bad header: data-bytes and end-us are not both finished");
        if (header_.end_us && *header_.end_us < header_.start_us)
            refuseFile(path_, "bad header: end-us comes before start-us");
        // A writer's data carries a TIME_HIGH word at least every 2^23 us from time 0 on, so its
        // size bounds the span it can reach.
        if (header_.end_us && ((*header_.end_us - header_.start_us) >> 23) > *header_.data_bytes / 2 + 1)
            refuseFile(path_, "bad header: its " + std::to_string(*header_.data_bytes) +
                                  " bytes of data cannot reach end-us " + std::to_string(*header_.end_us));
        return header_;
    }

private:
    [[noreturn]] void fail(std::size_t number, const std::string& reason) const {
        refuseFile(path_, "bad header, line " + std::to_string(number) + ": " + reason);
    }

    void setting(const std::string& value, std::size_t number) {
        // TOOL NAME TYPE VALUE, the value running to the end of the line.
        std::size_t start = 0;
        std::string parts[3];
        for (std::string& part : parts) {
            const std::size_t space = value.find(' ', start);
            if (space == std::string::npos) fail(number, "a setting is \"TOOL NAME TYPE VALUE\"");
            part = value.substr(start, space - start);
            start = space + 1;
        }
        const std::optional<ToolParameterType> type = typeNamed(parts[2]);
        if (!type) fail(number, "unknown parameter type \"" + parts[2] + "\"");
        header_.settings.push_back(RecordedSetting{parts[0], parts[1], *type, value.substr(start)});
    }

    std::pair<std::string, std::size_t> field(const std::string& key) {
        const auto found = fields_.find(key);
        if (found == fields_.end()) refuseFile(path_, "bad header: no " + key);
        return found->second;
    }

    std::string take(const std::string& key) { return field(key).first; }

    std::uint64_t number(const std::string& key, std::uint64_t max) {
        const auto [text, line_number] = field(key);
        const std::optional<std::uint64_t> value = parseNumber(text);
        if (!value || *value > max) fail(line_number, key + " is not a number up to " + std::to_string(max));
        return *value;
    }

    std::optional<std::uint64_t> finishedField(const std::string& key) {
        const auto [raw, line_number] = field(key);
        const std::string text = trimmedRight(raw);
        if (text == kUnfinished) return std::nullopt;
        const std::optional<std::uint64_t> value = parseNumber(text);
        if (!value || *value > kLatestTimeUs)
            fail(line_number, key + " is neither a number up to " + std::to_string(kLatestTimeUs) + " nor " + kUnfinished);
        return value;
    }

    std::string path_;
    RecordingHeader header_;
    std::map<std::string, std::pair<std::string, std::size_t>> fields_;
};

// Opens the file for reading and gives its size; what is no regular file is not `kind`.
int openRegularFile(const std::string& path, const std::string& kind, std::uint64_t& bytes) {
    // Not blocking: opening a FIFO would otherwise wait for a writer. A regular file reads as
    // before, and anything else is refused once open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throwErrno("cannot open the recording", path);
    try {
        struct stat status {};
        if (::fstat(fd, &status) != 0) throwErrno("cannot read", path);
        if (!S_ISREG(status.st_mode)) refuseFile(path, "not " + kind + " (not a regular file)");
        bytes = static_cast<std::uint64_t>(status.st_size);
        return fd;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

Evt3Decoder decoderFor(const RecordingReader& file) {
    try {
        return Evt3Decoder::forFormat(RawEventStreamFormat(file.header().raw_format));
    } catch (const std::invalid_argument& error) {
        refuseFile(file.path(), std::string("raw-format: ") + error.what());
    }
}

// What playback needs of the caller's output, a std::vector or a RecordBuffer: room past its
// end, cutting it back, appending.
template <typename Record>
Record* grownBy(std::vector<Record>& records, std::size_t more) {
    const std::size_t size = records.size();
    records.resize(size + more);
    return records.data() + size;
}

template <typename Record>
Record* grownBy(RecordBuffer<Record>& records, std::size_t more) {
    return records.grow(more);
}

template <typename Record>
void cutTo(std::vector<Record>& records, std::size_t count) {
    records.resize(count);
}

template <typename Record>
void cutTo(RecordBuffer<Record>& records, std::size_t count) {
    records.truncate(count);
}

template <typename Record>
void appendTo(std::vector<Record>& records, const Record* first, const Record* last) {
    records.insert(records.end(), first, last);
}

template <typename Record>
void appendTo(RecordBuffer<Record>& records, const Record* first, const Record* last) {
    records.append(first, last);
}

// Storage kept beyond this many records after a long read is given back once it is empty.
constexpr std::size_t kKeptRecords = std::size_t{1} << 21;

}  // namespace

std::vector<RecordedSetting> recordedSettings(const std::vector<std::shared_ptr<CameraTool>>& tools) {
    std::vector<RecordedSetting> settings;
    for (const std::shared_ptr<CameraTool>& tool : tools) {
        const std::string kind = to_string(tool->getToolInfo().tool_type);
        for (const auto& [name, basic] : tool->getAllParamInfo()) {
            if (std::optional<std::string> value = valueText(*tool, name, basic.type))
                settings.push_back(RecordedSetting{kind, name, basic.type, std::move(*value)});
        }
    }
    return settings;
}

std::string utcTimestampNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

RecordingWriter::RecordingWriter(const std::string& path, const RecordingHeader& header, bool overwrite,
                                 std::optional<std::uint64_t> planned_end_us)
    : path_(path) {
    std::string text = std::string(kMagicLine) + "\n" + std::string(kVersionPrefix) +
                       std::to_string(RecordingHeader::kFormatVersion) + "\n";
    auto add = [&](const std::string& key, const std::string& value) {
        if (value.find_first_of("\r\n") != std::string::npos)
            throw std::invalid_argument("the recording header's " + key + " holds a line break");
        text += key + ": " + value + "\n";
    };
    add("raw-format", header.raw_format);
    add("serial", header.camera.serial);
    add("product", header.camera.product);
    add("manufacturer", header.camera.manufacturer);
    add("vid", std::to_string(header.camera.vid));
    add("pid", std::to_string(header.camera.pid));
    add("interface", std::to_string(static_cast<std::uint32_t>(header.camera.interfaceType)));
    add("recorded-at", header.recorded_at);
    add("start-us", std::to_string(header.start_us));
    for (const RecordedSetting& setting : header.settings) {
        if (setting.tool.find(' ') != std::string::npos || setting.name.find(' ') != std::string::npos)
            throw std::invalid_argument("the setting " + setting.tool + " " + setting.name + " holds a space in its name");
        add("setting", setting.tool + " " + setting.name + " " + typeName(setting.type) + " " + setting.value);
    }
    data_bytes_field_ = text.size() + std::string("data-bytes: ").size();
    add("data-bytes", fixedField(std::nullopt));
    end_us_field_ = text.size() + std::string("end-us: ").size();
    add("end-us", fixedField(std::nullopt));
    text += std::string(kEndLine) + "\n";

    // Not blocking: a FIFO at the path would otherwise wait for a reader.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (overwrite ? O_TRUNC : O_EXCL);
    fd_ = ::open(path.c_str(), flags, 0644);
    if (fd_ < 0) {
        struct stat status {};
        if (errno == EEXIST && ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) errno = EISDIR;
        throwErrno("cannot create the recording", path);
    }
    try {
        struct stat status {};
        if (::fstat(fd_, &status) != 0) throwErrno("cannot create the recording", path);
        if (!S_ISREG(status.st_mode)) refuseFile(path, "cannot record to what is not a regular file");
        writeAll(fd_, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), path_);
    } catch (...) {
        ::close(fd_);
        throw;
    }
    header_bytes_ = text.size();
    start_us_ = end_us_ = header.start_us;
    planned_end_us_ = planned_end_us;
}

RecordingWriter::~RecordingWriter() { ::close(fd_); }

void RecordingWriter::append(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                             std::size_t trigger_count, std::uint64_t span_end_us) {
    if (finished_) throw std::logic_error("the recording " + path_ + " is finished");
    bytes_.clear();
    encoder_.encode(events, event_count, triggers, trigger_count, span_end_us, bytes_);
    const std::optional<DiskSpace> disk = diskSpaceOf(fd_);
    if (disk && bytes_.size() + disk->spare > disk->free) {
        keepCompleteSpans();
        throw RecordingOutOfSpace("stopped after " + secondsText(end_us_ - start_us_) + ": the next " +
                                  bytesText(static_cast<double>(bytes_.size())) + " would leave less than " +
                                  bytesText(static_cast<double>(disk->spare)) + " of its disk free (" +
                                  bytesText(static_cast<double>(disk->free)) + " are); the first " +
                                  secondsText(end_us_ - start_us_) + " are in " + path_);
    }
    writeKeepingCompleteSpans(bytes_.data(), bytes_.size());
    data_bytes_ += bytes_.size();
    end_us_ = span_end_us;
    if (!disk || !planned_end_us_ || end_us_ >= *planned_end_us_ || end_us_ == start_us_) return;
    const double rest_bytes = static_cast<double>(data_bytes_) / static_cast<double>(end_us_ - start_us_) *
                              static_cast<double>(*planned_end_us_ - end_us_);
    const std::uint64_t free_bytes = disk->free - bytes_.size();
    if (rest_bytes + static_cast<double>(disk->spare) <= static_cast<double>(free_bytes)) return;
    keepCompleteSpans();
    throw RecordingOutOfSpace("stopped after " + secondsText(end_us_ - start_us_) + ": at this rate the other " +
                              secondsText(*planned_end_us_ - end_us_) + " need about " + bytesText(rest_bytes) +
                              " and " + bytesText(static_cast<double>(free_bytes)) + " are free; the first " +
                              secondsText(end_us_ - start_us_) + " are in " + path_);
}

void RecordingWriter::keepCompleteSpans() noexcept {
    // A file cut back finishes; one that cannot be cut back is left unfinished, which still
    // reads as a recording cut short, where a finished header would disown its trailing bytes.
    finished_ = true;
    if (::ftruncate(fd_, static_cast<off_t>(header_bytes_ + data_bytes_)) != 0) return;
    try {
        writeHeaderFields();
    } catch (const std::system_error&) {
    }
}

void RecordingWriter::writeKeepingCompleteSpans(const std::uint8_t* data, std::size_t size) {
    try {
        writeAll(fd_, data, size, path_);
    } catch (const std::system_error&) {
        keepCompleteSpans();
        throw;
    }
    index_.follow(data, size);
}

void RecordingWriter::appendRecords(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                                    std::size_t trigger_count, std::uint32_t width, std::uint32_t height) {
    encoder_.setSensor(width, height);
    std::uint64_t span_end_us = records_until_;
    if (event_count > 0) span_end_us = std::max(span_end_us, events[event_count - 1].timestamp);
    if (trigger_count > 0) span_end_us = std::max(span_end_us, triggers[trigger_count - 1].timestamp);
    const std::uint64_t end_before = end_us_;
    append(events, event_count, triggers, trigger_count, span_end_us);
    records_until_ = span_end_us;
    end_us_ = event_count + trigger_count > 0 ? std::max(end_before, span_end_us + 1) : end_before;
}

void RecordingWriter::appendRaw(const std::uint8_t* data, std::size_t size) {
    if (finished_) throw std::logic_error("the recording " + path_ + " is finished");
    writeKeepingCompleteSpans(data, size);
    data_bytes_ += size;
    const Evt3StreamState& state = index_.tracker().state();
    if (state.timed) end_us_ = std::max(end_us_, state.time + 1);
}

void RecordingWriter::writeIndex() {
    // Data without a time word has no point to seek to.
    if (index_written_ || index_.entries().empty()) return;
    index_written_ = true;
    // Raw data may end in half a word: a high byte of the OTHERS type completes it into a word
    // that decoders skip, so that the index's words stay words.
    if (data_bytes_ % 2 != 0) {
        const std::uint8_t high = static_cast<std::uint8_t>(static_cast<unsigned>(evt3::WordType::Others) << 4);
        writeAll(fd_, &high, 1, path_);
        data_bytes_ += 1;
    }
    const std::vector<std::uint8_t> index = index_.encoded();
    writeAll(fd_, index.data(), index.size(), path_);
    data_bytes_ += index.size();
}

void RecordingWriter::finish() {
    if (finished_) return;
    finished_ = true;
    try {
        writeIndex();
    } catch (const std::system_error&) {
        // The index only spares a reader one scan of the data; the finished header is what counts.
        if (::ftruncate(fd_, static_cast<off_t>(header_bytes_ + data_bytes_)) != 0) throw;
    }
    writeHeaderFields();
}

void RecordingWriter::writeHeaderFields() {
    writeAllAt(fd_, fixedField(data_bytes_), data_bytes_field_, path_);
    writeAllAt(fd_, fixedField(end_us_), end_us_field_, path_);
}

RecordingOutOfSpace::RecordingOutOfSpace(const std::string& reason)
    : std::system_error(ENOSPC, std::generic_category(), reason), reason_(reason) {}

RecordingReader::RecordingReader(const std::string& path) : path_(path) {
    std::uint64_t file_bytes = 0;
    fd_ = openRegularFile(path, "a recording", file_bytes);
    try {
        std::vector<std::uint8_t> start(static_cast<std::size_t>(std::min<std::uint64_t>(file_bytes, kMaxHeaderBytes)));
        start.resize(readAllAt(fd_, start.data(), start.size(), 0, path));
        const std::string text(start.begin(), start.end());
        std::size_t line_start = 0;
        std::size_t number = 0;
        HeaderParser parser(path);
        bool ended = false;
        while (!ended) {
            const std::size_t newline = text.find('\n', line_start);
            if (newline == std::string::npos) {
                if (number == 0 && (text.empty() || text.compare(0, std::string::npos, kMagicLine, text.size()) != 0))
                    refuseFile(path, "not a recording (it does not begin with \"" + std::string(kMagicLine) + "\")");
                refuseFile(path, start.size() < kMaxHeaderBytes ? "cut short inside its header"
                                                                : "bad header: no end-header line in its first " +
                                                                      std::to_string(kMaxHeaderBytes) + " bytes");
            }
            const std::string line = text.substr(line_start, newline - line_start);
            line_start = newline + 1;
            ++number;
            if (number == 1) {
                if (line != kMagicLine)
                    refuseFile(path, "not a recording (it does not begin with \"" + std::string(kMagicLine) + "\")");
            } else if (number == 2) {
                const std::optional<std::uint64_t> version =
                    line.rfind(kVersionPrefix, 0) == 0 ? parseNumber(line.substr(kVersionPrefix.size())) : std::nullopt;
                if (!version) refuseFile(path, "bad header, line 2: expected \"version: N\"");
                if (*version > RecordingHeader::kFormatVersion)
                    refuseFile(path, "recording format version " + std::to_string(*version) +
                                         " is newer than this library reads (up to " +
                                         std::to_string(RecordingHeader::kFormatVersion) + ")");
                if (*version == 0) refuseFile(path, "bad header, line 2: there is no format version 0");
            } else if (line == kEndLine) {
                ended = true;
            } else {
                parser.line(line, number);
            }
        }
        header_ = parser.finish();
        header_bytes_ = line_start;

        const std::uint64_t available = file_bytes - header_bytes_;
        if (header_.data_bytes && available > *header_.data_bytes)
            refuseFile(path, std::to_string(available - *header_.data_bytes) + " bytes follow the " +
                                 std::to_string(*header_.data_bytes) + " bytes of data its header declares");
        truncated_ = !header_.data_bytes || available < *header_.data_bytes || available % 2 != 0;
        data_bytes_ = available - available % 2;
        end_us_ = truncated_ ? lastTimeInData() : *header_.end_us;
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

RecordingReader::RecordingReader(const std::string& path, const std::optional<RawEventStreamFormat>& raw_format,
                                 RawEvt3File)
    : path_(path) {
    std::uint64_t file_bytes = 0;
    fd_ = openRegularFile(path, "a raw EVT3 file", file_bytes);
    try {
        std::vector<std::uint8_t> start(static_cast<std::size_t>(
            std::min<std::uint64_t>(file_bytes, RawHeaderFilter::kMaxHeaderBytes + 1)));
        start.resize(readAllAt(fd_, start.data(), start.size(), 0, path));
        RawHeaderFilter filter;
        try {
            filter.data(start.data(), start.size());
            header_.raw_format = rawFormatOf(filter.header(), raw_format);
            Evt3Decoder::forFormat(RawEventStreamFormat(header_.raw_format));
        } catch (const std::invalid_argument& error) {
            refuseFile(path, error.what());
        }
        // A file that is a header alone holds no data.
        header_bytes_ = filter.decided() ? filter.headerBytes() : start.size();
        if (filter.header()) {
            for (const auto& [key, field] : {std::pair{"serial", &header_.camera.serial},
                                             std::pair{"product", &header_.camera.product},
                                             std::pair{"manufacturer", &header_.camera.manufacturer}}) {
                if (const std::optional<std::string> value = filter.header()->field(key)) *field = *value;
            }
        }
        header_.version = 0;

        const std::uint64_t available = file_bytes - header_bytes_;
        truncated_ = available % 2 != 0;
        data_bytes_ = available - available % 2;
        std::vector<std::uint8_t> window(static_cast<std::size_t>(
            std::min<std::uint64_t>(data_bytes_, Evt3StartCheck::kWindowBytes)));
        window.resize(readAt(0, window.data(), window.size()));
        try {
            Evt3StartCheck().check(window.data(), window.size());
        } catch (const std::invalid_argument& error) {
            refuseFile(path, error.what());
        }
        // No record comes before the first TIME_HIGH's time, the low half cleared.
        Evt3StateTracker tracker;
        for (std::size_t i = 0; i + 1 < window.size() && !tracker.state().timed; i += 2)
            tracker.follow(window.data() + i, 2);
        if (tracker.state().timed)
            header_.start_us = tracker.state().time & ~std::uint64_t{evt3::kPayloadMask};
        end_us_ = lastTimeInData();
        header_.data_bytes = data_bytes_;
        header_.end_us = end_us_;
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

RecordingReader::~RecordingReader() { ::close(fd_); }

std::size_t RecordingReader::readAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) const {
    if (offset >= data_bytes_) return 0;
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size, data_bytes_ - offset));
    return readAllAt(fd_, out, wanted, header_bytes_ + offset, path_);
}

std::size_t RecordingReader::read(std::uint8_t* out, std::size_t size) {
    // Once the data is known to be gone, every read says so, whatever the file holds by then.
    if (shrank_) refuseFile(path_, "shrank while it was read");
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size, data_bytes_ - offset_));
    const std::size_t got = readAllAt(fd_, out, wanted, header_bytes_ + offset_, path_);
    shrank_ = got < wanted;
    if (shrank_) refuseFile(path_, "shrank while it was read");
    offset_ += got;
    return got;
}

// The time words alone, followed as a decoder follows them: time goes on past a wrap.
std::uint64_t RecordingReader::lastTimeInData() {
    std::uint64_t time = header_.start_us;
    std::uint64_t high = 0;
    bool timed = false;
    std::vector<std::uint8_t> chunk(kPlaybackChunkBytes);
    rewind();
    while (const std::size_t got = read(chunk.data(), chunk.size())) {
        for (std::size_t i = 0; i + 1 < got; i += 2) {
            const auto word = static_cast<std::uint16_t>(chunk[i] | (chunk[i + 1] << 8));
            const unsigned type = word >> evt3::kTypeShift;
            const std::uint64_t payload = word & evt3::kPayloadMask;
            if (type == static_cast<unsigned>(evt3::WordType::TimeHigh)) {
                std::uint64_t next = (high & ~std::uint64_t{evt3::kPayloadMask}) | payload;
                if (next < high) next += std::uint64_t{1} << evt3::kTimeHalfBits;
                high = next;
                timed = true;
                time = std::max(time, high << evt3::kTimeHalfBits);
            } else if (type == static_cast<unsigned>(evt3::WordType::TimeLow) && timed) {
                time = std::max(time, (high << evt3::kTimeHalfBits) | payload);
            }
        }
    }
    rewind();
    // The records at the last time are part of the recording.
    return data_bytes_ == 0 ? header_.start_us : time + 1;
}

RecordingPlayback::RecordingPlayback(const std::string& path)
    : file_(path), decoder_(decoderFor(file_)), chunk_(kPlaybackChunkBytes), position_us_(file_.header().start_us) {}

RecordingPlayback::RecordingPlayback(const std::string& path, const std::optional<RawEventStreamFormat>& raw_format)
    : file_(path, raw_format, RawEvt3File{}),
      decoder_(decoderFor(file_)),
      chunk_(kPlaybackChunkBytes),
      position_us_(file_.header().start_us) {}

std::shared_ptr<RecordingPlayback> openPlayback(const std::string& path,
                                                const std::optional<RawEventStreamFormat>& raw_format) {
    if (path.find('\0') != std::string::npos) refuseFile(quotedForMessage(path), "a path holds no NUL byte");
    const std::string magic = std::string(kMagicLine) + "\n";
    std::string start;
    // Only a regular file is looked into: opening a FIFO would wait for a writer. The readers
    // refuse anything else.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
            start.resize(magic.size());
            start.resize(std::fread(start.data(), 1, start.size(), file));
            std::fclose(file);
        }
    }
    if (start != magic && (raw_format || start.rfind("% ", 0) == 0))
        return std::make_shared<RecordingPlayback>(path, raw_format);
    auto playback = std::make_shared<RecordingPlayback>(path);
    if (raw_format) {
        try {
            rawFormatOf(RawFileHeader{{{"format", playback->file().header().raw_format}}}, raw_format);
        } catch (const std::invalid_argument& error) {
            refuseFile(path, std::string("raw_format: ") + error.what());
        }
    }
    return playback;
}

const RecordingIndex& RecordingPlayback::index() {
    if (index_) return *index_;
    const RecordingIndex::DataReader read = [this](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
        return file_.readAt(offset, out, size);
    };
    RecordingIndex stored(std::vector<RecordingIndexEntry>{});
    if (!file_.truncated() && RecordingIndex::readTrailer(read, file_.dataBytes(), stored)) {
        index_.emplace(std::move(stored));
    } else {
        index_.emplace(RecordingIndex::scan(read, file_.dataBytes()));
    }
    return *index_;
}

void RecordingPlayback::seek(std::uint64_t t_us) {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordingIndexEntry start;
    try {
        start = index().startFor(t_us);
    } catch (const std::invalid_argument&) {
        // A damaged index at the end of the data: the data itself is whole, so read it through.
        index_.emplace(RecordingIndex::scan(
            [this](std::uint64_t offset, std::uint8_t* out, std::size_t size) { return file_.readAt(offset, out, size); },
            file_.dataBytes()));
        start = index_->startFor(t_us);
    }
    file_.seekData(start.offset);
    decoder_.resume(start.state);
    // readRaw's bytes start a stream of their own again: a decoder fed them from here on gets
    // the full time, wherever the seek went.
    encoder_ = Evt3Encoder();
    file_done_ = false;
    events_.begin = events_.end = 0;
    triggers_.begin = triggers_.end = 0;
    bytes_decoded_ = start.offset;
    while (!decodedThrough(t_us) && decodeMore()) {
        events_.dropBefore(t_us);
        triggers_.dropBefore(t_us);
    }
    events_.dropBefore(t_us);
    triggers_.dropBefore(t_us);
    position_us_ = t_us;
}

std::uint64_t RecordingPlayback::positionUs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return position_us_;
}

bool RecordingPlayback::decodedThrough(std::uint64_t time_us) const {
    return file_done_ || (decoder_.timed() && decoder_.time() >= time_us);
}

template <typename Record>
Record* RecordingPlayback::Decoded<Record>::roomFor(std::size_t more) {
    if (storage.size() < end + more && begin > 0) {
        std::copy(storage.begin() + static_cast<std::ptrdiff_t>(begin),
                  storage.begin() + static_cast<std::ptrdiff_t>(end), storage.begin());
        end -= begin;
        begin = 0;
    }
    if (storage.size() < end + more) storage.resize(end + more + (end + more) / 2);
    return storage.data() + end;
}

template <typename Record>
template <typename Output>
void RecordingPlayback::Decoded<Record>::takeBefore(std::uint64_t end_us, Output& out) {
    Record* const first = storage.data() + begin;
    Record* const split = std::partition_point(first, storage.data() + end,
                                               [&](const Record& r) { return r.timestamp < end_us; });
    appendTo(out, first, split);
    begin = static_cast<std::size_t>(split - storage.data());
    if (begin == end) {
        begin = end = 0;
        if (storage.size() > kKeptRecords) std::vector<Record>().swap(storage);
    }
}

template <typename Record>
void RecordingPlayback::Decoded<Record>::dropBefore(std::uint64_t end_us) {
    std::vector<Record> dropped;
    takeBefore(end_us, dropped);
}

template <typename Record>
template <typename Output>
void RecordingPlayback::Decoded<Record>::keepFrom(std::uint64_t end_us, Output& records, std::size_t first) {
    Record* const last = records.data() + records.size();
    Record* const split = std::partition_point(records.data() + first, last,
                                               [&](const Record& r) { return r.timestamp < end_us; });
    const auto later = static_cast<std::size_t>(last - split);
    std::copy(split, last, roomFor(later));
    end += later;
    cutTo(records, records.size() - later);
}

std::size_t RecordingPlayback::pieceReaching(std::uint64_t end_us) const {
    const std::uint64_t start_us = file_.header().start_us;
    if (!decoder_.timed() || decoder_.time() <= start_us || decoder_.time() >= end_us || bytes_decoded_ == 0)
        return chunk_.size();
    const double bytes_per_us = static_cast<double>(bytes_decoded_) / static_cast<double>(decoder_.time() - start_us);
    const double wanted = bytes_per_us * kPieceMargin * static_cast<double>(end_us - decoder_.time());
    return static_cast<std::size_t>(std::clamp(wanted, static_cast<double>(kMinPieceBytes),
                                               static_cast<double>(chunk_.size())));
}

template <typename Events, typename Triggers>
void RecordingPlayback::decodeInto(std::uint64_t end_us, Events& events, Triggers& triggers) {
    const std::size_t got = readPiece(pieceReaching(end_us));
    if (got == 0) return;
    const Evt3Capacity capacity = decoder_.capacityFor(chunk_.data(), got);
    const std::size_t first_event = events.size();
    const std::size_t first_trigger = triggers.size();
    Event2D* event_room = grownBy(events, capacity.events);
    TriggerEvent* trigger_room = grownBy(triggers, capacity.triggers);
    const Evt3Decoded decoded = decoder_.decode(chunk_.data(), got, event_room, trigger_room);
    cutTo(events, first_event + decoded.events);
    cutTo(triggers, first_trigger + decoded.triggers);
    decoded_events_ += decoded.events;
    events_.keepFrom(end_us, events, first_event);
    triggers_.keepFrom(end_us, triggers, first_trigger);
}

std::size_t RecordingPlayback::readPiece(std::size_t bytes) {
    const std::size_t got = file_.read(chunk_.data(), bytes);
    if (got == 0) file_done_ = true;
    bytes_decoded_ += got;
    return got;
}

bool RecordingPlayback::decodeMore() {
    const std::size_t got = readPiece(chunk_.size());
    if (got == 0) return false;
    const Evt3Capacity capacity = decoder_.capacityFor(chunk_.data(), got);
    Event2D* events = events_.roomFor(capacity.events);
    TriggerEvent* triggers = triggers_.roomFor(capacity.triggers);
    const Evt3Decoded decoded = decoder_.decode(chunk_.data(), got, events, triggers);
    events_.end += decoded.events;
    triggers_.end += decoded.triggers;
    decoded_events_ += decoded.events;
    return true;
}

template <typename Events, typename Triggers>
void RecordingPlayback::readLocked(std::uint64_t duration_us, Events& events, Triggers& triggers) {
    const std::uint64_t end_us = position_us_ + duration_us;
    // Room for the span at the rate decoded so far, so that the caller's output rarely moves.
    const std::uint64_t start_us = file_.header().start_us;
    if (decoder_.timed() && decoder_.time() > start_us && decoded_events_ > 0) {
        const double per_us = static_cast<double>(decoded_events_) / static_cast<double>(decoder_.time() - start_us);
        events.reserve(events.size() +
                       static_cast<std::size_t>(per_us * kRateHeadroom * static_cast<double>(duration_us)));
    }
    // Records left from the last read go out first; once none wait, pieces decode straight into
    // the caller's output, and only the last piece's records past end_us wait for the next read.
    events_.takeBefore(end_us, events);
    triggers_.takeBefore(end_us, triggers);
    // A record still waiting after takeBefore lies at or past end_us, so the decoder's time
    // has reached end_us: the loop only runs while nothing waits.
    while (!decodedThrough(end_us)) decodeInto(end_us, events, triggers);
    position_us_ = end_us;
}

void RecordingPlayback::read(std::uint64_t duration_us, std::vector<Event2D>& events,
                             std::vector<TriggerEvent>& triggers) {
    SimulatedCamera::requireReadableSpan(duration_us);
    std::lock_guard<std::mutex> lock(mutex_);
    readLocked(duration_us, events, triggers);
}

void RecordingPlayback::read(std::uint64_t duration_us, RecordBuffer<Event2D>& events,
                             RecordBuffer<TriggerEvent>& triggers) {
    SimulatedCamera::requireReadableSpan(duration_us);
    std::lock_guard<std::mutex> lock(mutex_);
    readLocked(duration_us, events, triggers);
}

bool RecordingPlayback::readSlice(std::uint64_t duration_us, std::vector<Event2D>& events,
                                  std::vector<TriggerEvent>& triggers) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (position_us_ >= file_.endUs()) return false;
    readLocked(duration_us, events, triggers);
    return true;
}

std::size_t RecordingPlayback::readEvents(Event2D* out, std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (events_.count() < n && decodeMore()) {
    }
    const std::size_t taken = std::min(n, events_.count());
    if (taken == 0) return 0;
    const Event2D* first = events_.storage.data() + events_.begin;
    std::copy(first, first + taken, out);
    position_us_ = std::max(position_us_, first[taken - 1].timestamp);
    events_.begin += taken;
    triggers_.dropBefore(position_us_);
    return taken;
}

void RecordingPlayback::readRaw(std::uint64_t duration_us, std::vector<std::uint8_t>& out) {
    SimulatedCamera::requireReadableSpan(duration_us);
    std::lock_guard<std::mutex> lock(mutex_);
    raw_events_.clear();
    raw_triggers_.clear();
    const std::uint64_t end_us = position_us_ + duration_us;
    readLocked(duration_us, raw_events_, raw_triggers_);
    encoder_.startChunk();
    encoder_.encode(raw_events_.data(), raw_events_.size(), raw_triggers_.data(), raw_triggers_.size(), end_us, out);
}

}  // namespace velmo
