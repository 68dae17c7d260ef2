// How a None cell reads. quorix's Encoder reads it as the text "None" (str()
// of it); quorix_pipeline's TextEncoder as a missing value, as pandas, polars
// and scikit-learn do. Cells are read on the calling thread, under the
// interpreter lock, so the choice is a scope on that thread, and the readers
// keep their signatures.
#pragma once

namespace quorix {

class NoneIsMissing {
public:
    NoneIsMissing() noexcept;
    ~NoneIsMissing();
    NoneIsMissing(const NoneIsMissing&) = delete;
    NoneIsMissing& operator=(const NoneIsMissing&) = delete;

    static bool active() noexcept;

private:
    bool previous_;
};

}  // namespace quorix
