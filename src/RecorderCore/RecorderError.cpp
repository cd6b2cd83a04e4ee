#include "RecorderError.h"

namespace brindlow {
namespace {

std::string messageFor(RecorderError::Kind kind, const std::string& payload) {
    using Kind = RecorderError::Kind;
    switch (kind) {
        case Kind::encoderUnavailable:
            return "The video encoder could not start (" + payload + ").";
        case Kind::permissionDenied:
            return "Brindlow needs " + payload +
                   " permission. Turn it on in System Settings \u2192 Privacy & Security.";
        case Kind::uploadFailed:
            return "We couldn't upload your recording (" + payload + ").";
        case Kind::unsupportedCameraFormat:
            return "This camera has no supported recording format. Choose another camera or turn the camera off.";
        case Kind::nothingRecorded:
            return "The recording came out empty. Please try again.";
        case Kind::notSignedIn:
            return "You're signed out. Sign in to record.";
        case Kind::lowDiskSpace:
            return "Your disk is almost full. Free up some space and try again.";
    }
    return {};
}

}  // namespace

RecorderError::RecorderError(Kind kind, std::string payload)
    : kind_(kind), payload_(std::move(payload)), message_(messageFor(kind_, payload_)) {}

}  // namespace brindlow
