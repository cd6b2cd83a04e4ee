#pragma once

#include "shell/MoveOffer.h"

namespace brindlow {

// The move offer's questions as Qt message boxes, shown before the recorder window.
class MessageBoxAlerts final : public MoveOfferAlerts {
public:
    size_t ask(const std::string& message, const std::string& informativeText,
               const std::vector<std::string>& buttons) override;
    void inform(const std::string& message, const std::string& informativeText) override;
    void showProgress(const std::string& message, const Progress& progress) override;
};

}  // namespace brindlow
