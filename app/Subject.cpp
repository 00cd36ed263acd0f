#include "app/Subject.h"

#include <algorithm>

namespace veltrix {

void Subject::attach(Observer* observer) { observers_.push_back(observer); }

void Subject::detach(Observer* observer) { observers_.remove(observer); }

void Subject::notify() {
    // Walk a snapshot so that an observer detaching itself (or another) does not break the loop.
    const std::list<Observer*> round = observers_;
    for (Observer* o : round) {
        if (std::find(observers_.begin(), observers_.end(), o) != observers_.end()) o->update(this);
    }
}

}  // namespace veltrix
