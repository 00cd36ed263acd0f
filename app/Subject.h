#pragma once
#include <list>

namespace veltrix {

class Subject;

// Something that wants to hear when a subject changes.
class Observer {
public:
    virtual ~Observer() = default;
    virtual void update(Subject* subject) = 0;
};

// Keeps a list of observers (not owned) and calls update on each of them, in attach order.
class Subject {
public:
    Subject() = default;
    virtual ~Subject() = default;
    // Appends the observer; attaching twice means being notified twice.
    virtual void attach(Observer* observer);
    // Removes every occurrence of the observer.
    virtual void detach(Observer* observer);
    // Observers may attach or detach while being notified; the round reaches the observers that
    // were listed when it started and are still listed.
    virtual void notify();

private:
    std::list<Observer*> observers_;
};

}  // namespace veltrix
