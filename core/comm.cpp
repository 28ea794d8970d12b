#include "quorvel/core.h"

CxComm::CxComm()
    : m_pfnProc(nullptr), m_pParam(nullptr), m_hWnd(nullptr), m_uMsg(0), m_uTargetSeq(0) {}

CxComm::CxComm(const CxComm& other) : CxComm() { SetTarget(other.GetTarget()); }

CxComm& CxComm::operator=(const CxComm& other) {
    if (this != &other) SetTarget(other.GetTarget());
    return *this;
}

CxComm::~CxComm() = default;

void CxComm::SetWndMsgProc(HWND hWnd, UINT uMsg, CX_COMM_PROC pfnProc, void* pParam) {
    SetTarget(Target{pfnProc, pParam, hWnd, uMsg});
}

void* CxComm::GetSafeHandle() { return nullptr; }

int CxComm::Send(unsigned char*, unsigned long, unsigned long) { return 0; }

int CxComm::Recv(unsigned char*, unsigned long, unsigned long) { return 0; }

// The four members are written under a sequence number that is odd while a
// write is in progress; a reader retries until it has read all four between
// two equal, even sequence numbers. Writers are the host's calls on one
// object, which do not overlap.
void CxComm::SetTarget(const Target& target) {
    unsigned uSeq = m_uTargetSeq.load(std::memory_order_relaxed);
    m_uTargetSeq.store(uSeq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    m_pfnProc.store(target.pfnProc, std::memory_order_relaxed);
    m_pParam.store(target.pParam, std::memory_order_relaxed);
    m_hWnd.store(target.hWnd, std::memory_order_relaxed);
    m_uMsg.store(target.uMsg, std::memory_order_relaxed);
    m_uTargetSeq.store(uSeq + 2, std::memory_order_release);
}

CxComm::Target CxComm::GetTarget() const {
    for (;;) {
        unsigned uBefore = m_uTargetSeq.load(std::memory_order_acquire);
        if (uBefore & 1) {
            YieldProcessor();  // the writer is between two stores
            continue;
        }
        Target target{m_pfnProc.load(std::memory_order_relaxed),
                      m_pParam.load(std::memory_order_relaxed),
                      m_hWnd.load(std::memory_order_relaxed),
                      m_uMsg.load(std::memory_order_relaxed)};
        std::atomic_thread_fence(std::memory_order_acquire);
        if (m_uTargetSeq.load(std::memory_order_relaxed) == uBefore) return target;
    }
}
