#pragma once
// Review requests after an export. The applications call them; on this platform there is no
// store to ask for a review, so every one returns at once without any effect.

class ReviewRequestController {
public:
    static void incrementExportCount() { }
    static void setNeedsToShowLoveRequest() { }
    static void showLoveRequestIfNeeded() { }
    static void requestReview() { }
    static void requestReviewFromAppStore() { }
};
