#pragma once

#include <stdexcept>
#include <string>

namespace brindlow {

// The one user-facing error of recording, sign-in state and upload. what() is the
// message shown to the user unchanged.
class RecorderError : public std::exception {
public:
    enum class Kind {
        encoderUnavailable,       // detail
        permissionDenied,         // what is missing
        uploadFailed,             // detail
        unsupportedCameraFormat,
        nothingRecorded,
        notSignedIn,
        lowDiskSpace,
    };

    static RecorderError encoderUnavailable(std::string detail) { return {Kind::encoderUnavailable, std::move(detail)}; }
    static RecorderError permissionDenied(std::string what) { return {Kind::permissionDenied, std::move(what)}; }
    static RecorderError uploadFailed(std::string detail) { return {Kind::uploadFailed, std::move(detail)}; }
    static RecorderError unsupportedCameraFormat() { return {Kind::unsupportedCameraFormat, {}}; }
    static RecorderError nothingRecorded() { return {Kind::nothingRecorded, {}}; }
    static RecorderError notSignedIn() { return {Kind::notSignedIn, {}}; }
    static RecorderError lowDiskSpace() { return {Kind::lowDiskSpace, {}}; }

    Kind kind() const { return kind_; }
    const std::string& payload() const { return payload_; }
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const RecorderError& a, const RecorderError& b) {
        return a.kind_ == b.kind_ && a.payload_ == b.payload_;
    }

private:
    RecorderError(Kind kind, std::string payload);

    Kind kind_;
    std::string payload_;
    std::string message_;
};

}  // namespace brindlow
