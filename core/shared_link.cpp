#include "core/shared_link.h"

#include <new>


namespace quorvel {

SharedLink* SharedLink::Create(const void* owner, LONG refs) {
    SharedLink* link = new (std::nothrow) SharedLink;
    if (link) {
        link->refs.store(refs);
        link->live.store(true);
        link->owner = owner;
        link->handle.store(nullptr);
        link->busy.store(0);
        link->closing.store(false);
        link->receives.store(0);
        link->textBusy.store(false);
        link->extra.store(nullptr);
    }
    return link;
}

SharedLink* SharedLink::Share(SharedLink* link) {
    if (link) link->refs.fetch_add(1, std::memory_order_relaxed);
    return link;
}

void SharedLink::Release(SharedLink*& link) {
    if (link && link->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete link->extra.load();
        delete link;
    }
    link = nullptr;
}

LinkExtra* SharedLink::AddExtra(LinkExtra* candidate) {
    LinkExtra* current = nullptr;
    if (!candidate || extra.compare_exchange_strong(current, candidate)) return candidate;
    delete candidate;
    return current;
}

TextGuard::TextGuard(SharedLink* link) : m_link(link) {
    if (m_link) {
        while (m_link->textBusy.exchange(true, std::memory_order_acquire)) YieldProcessor();
    }
}

TextGuard::~TextGuard() {
    if (m_link) m_link->textBusy.store(false, std::memory_order_release);
}

}  // namespace quorvel
