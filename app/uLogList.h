// The rows of the log list: one entry per job status message, with its time
// and the image of its kind.
#pragma once

#include <cstdint>
#include <string>

class TVirtualStringTree;
struct TVirtualNode;

// One log entry. Kind is a job status: -1 none, 0 complete, 1 inactive,
// 2 information, 3 nothing found; it is also the entry's image index.
struct TTreeLogTaskData {
    double Time = 0; // days since 1899-12-30, local time
    std::string Text;
    int32_t Kind = -1;
};

// The image of a log row: its Kind when it is 0..3, else none (-1).
int GetLogImageIndex(const TTreeLogTaskData* Entry);

// Binds the log list's rows to a list control.
class TLogList {
public:
    explicit TLogList(TVirtualStringTree& Tree);
    ~TLogList();
    TLogList(const TLogList&) = delete;
    TLogList& operator=(const TLogList&) = delete;

    TVirtualStringTree& Tree() const { return FTree; }
    const TTreeLogTaskData* Entry(TVirtualNode* Node) const;

    // Nothing for an empty text. With Inverse the entry becomes the first
    // row; otherwise it is appended and scrolled into view, centred.
    TVirtualNode* Add(int32_t Kind, const std::string& Text, bool Inverse);
    // The selected entries' texts, one line each (CR LF between them).
    std::string SelectionText() const;
    void Clear();

private:
    TVirtualStringTree& FTree;
};
