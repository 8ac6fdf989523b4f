#include "AdapterModel.h"

#include <charconv>
#include <fstream>

namespace qrbsim {

std::optional<AdapterModel> parseAdapterModel(const std::string& text) {
    if (text == "none") {
        return AdapterModel::None;
    }
    if (text == "ftdi") {
        return AdapterModel::Ftdi;
    }
    if (text == "cdc-acm") {
        return AdapterModel::CdcAcm;
    }
    return std::nullopt;
}

const char* adapterModelName(AdapterModel model) {
    switch (model) {
    case AdapterModel::None:
        return "none";
    case AdapterModel::Ftdi:
        return "ftdi";
    case AdapterModel::CdcAcm:
        return "cdc-acm";
    }
    return "?";
}

std::chrono::milliseconds readLatencyTimer(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    if (!file || !std::getline(file, text)) {
        return kDefaultLatencyTimer;
    }
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || next == text.data() || value > 255) {
        return kDefaultLatencyTimer;
    }
    return std::chrono::milliseconds(value);
}

void AdapterHold::arrive(uint8_t byte, TimePoint at, Duration latency) {
    // A batch whose timer ran out before this byte came has left without it.
    if (batches_.empty() || batches_.back().full || batches_.back().release <= at) {
        batches_.push_back({{}, at + latency, false});
    }
    Batch& batch = batches_.back();
    batch.bytes.push_back(byte);
    if (batch.bytes.size() == kPacketBytes) {
        batch.full = true;
        batch.release = at;
    }
}

std::optional<AdapterHold::TimePoint> AdapterHold::nextRelease() const {
    if (batches_.empty()) {
        return std::nullopt;
    }
    return batches_.front().release;
}

std::vector<uint8_t> AdapterHold::takeReleased(TimePoint now) {
    std::vector<uint8_t> released;
    while (!batches_.empty() && batches_.front().release <= now) {
        const std::vector<uint8_t>& bytes = batches_.front().bytes;
        released.insert(released.end(), bytes.begin(), bytes.end());
        batches_.pop_front();
    }
    return released;
}

} // namespace qrbsim
