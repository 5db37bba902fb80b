// Message boxes for tests: records every box instead of showing it and
// answers with a button chosen by the test.
#pragma once

#include <vector>

#include "framework/dialogs.h"

class RecordingMessageBox final : public MessageBoxService {
public:
    struct Box {
        AnsiString text;
        AnsiString caption;
        unsigned flags;
    };

    int Show(const AnsiString& text, const AnsiString& caption, unsigned flags) override {
        boxes.push_back(Box{text, caption, flags});
        return answer;
    }

    std::vector<Box> boxes;
    int answer = IDOK;
};
