// The observer of the pass being walked: installed by the walker, told by the writers.
#include "writers.h"

namespace {

WalkObserver* currentObserver = nullptr;

} // namespace

WalkObserver* CurrentWalkObserver() {
    return currentObserver;
}

WalkObserver* SetWalkObserver(WalkObserver* observer) {
    WalkObserver* previous = currentObserver;
    currentObserver = observer;
    return previous;
}
