// Objects let go of inside their own notices (a listener in its accept, a
// connection in its read) cannot be destroyed there; they are freed on the
// next turn of the event loop, all of them, however many were retired in the
// same turn.
#pragma once

#include "platform/app/SingleShotTimer.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

namespace pallorwind::platform {

class Retirer {
public:
    Retirer() = default;
    ~Retirer() { FreeAll(); }
    Retirer(const Retirer&) = delete;
    Retirer& operator=(const Retirer&) = delete;

    template <typename T> void Retire(std::unique_ptr<T> object) {
        if (!object)
            return;
        m_retired.emplace_back(object.release(), [](void* p) { delete static_cast<T*>(p); });
        if (!m_next.Pending())
            m_next.Start(std::chrono::milliseconds(0), [this] { FreeAll(); });
    }

    // Frees what is retired now (also what their destructors retire).
    void FreeAll() {
        while (!m_retired.empty()) {
            auto batch = std::move(m_retired);
            m_retired.clear();
            batch.clear();
        }
    }

    std::size_t Count() const { return m_retired.size(); }

private:
    std::vector<std::unique_ptr<void, void (*)(void*)>> m_retired;
    SingleShotTimer m_next;
};

} // namespace pallorwind::platform
