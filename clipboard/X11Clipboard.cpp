// The CLIPBOARD selection of an X11 display as the platform clipboard.
//
// Copying: the image is served by a background thread with its own
// connection and window, as the targets TARGETS, TIMESTAMP, image/bmp (a BMP
// file: file header, then the DIB block exactly as written) and image/png
// (encoded on first request). Data larger than the server's request limit
// goes in INCR chunks. The thread keeps serving until another client takes
// the selection or the process exits; it never touches Python and owns only
// objects that are never destroyed, so neither interpreter shutdown nor exit
// can pull anything from under it, and being detached it never holds the
// process back.
//
// Pasting: each request uses a short-lived connection of its own, so a late
// answer to a request that timed out can never be taken for the answer to a
// later one. Every wait on the selection's owner ends after a few seconds.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include <xcb/xcb.h>

#include "PngCodec.h"
#include "X11Clipboard.h"

namespace qel {
namespace clip {

namespace {

using Clock = std::chrono::steady_clock;

// How long an owner may take to answer one request (or deliver one INCR
// chunk) before the paste gives up.
const int kAnswerTimeoutMs = 3000;
// How long a requestor may leave an INCR transfer idle before we drop it.
const int kTransferIdleMs = 5000;
// INCR chunk size, bounded further by the server's request limit.
const std::size_t kIncrChunk = 1u << 20;
// The most a paste reads: a DIB block of the largest buffer and its headers.
const std::size_t kMaxFetchBytes = 0x7FFFFFFFu + 64u;

enum {
    kAtomClipboard,
    kAtomTargets,
    kAtomTimestamp,
    kAtomIncr,
    kAtomBmp,
    kAtomPng,
    kAtomData,
    kAtomTime,
    kAtomCount
};
const char *const kAtomNames[kAtomCount] = {"CLIPBOARD", "TARGETS",   "TIMESTAMP",          "INCR",
                                            "image/bmp", "image/png", "QEL_CLIPBOARD_DATA", "QEL_CLIPBOARD_TIME"};

bool InternAtoms(xcb_connection_t *c, xcb_atom_t *pAtoms)
{
    xcb_intern_atom_cookie_t cookies[kAtomCount];
    for (int i = 0; i < kAtomCount; ++i)
        cookies[i] = xcb_intern_atom(c, 0, (uint16_t)std::strlen(kAtomNames[i]), kAtomNames[i]);
    bool bAll = true;
    for (int i = 0; i < kAtomCount; ++i) {
        xcb_intern_atom_reply_t *pReply = xcb_intern_atom_reply(c, cookies[i], nullptr);
        if (pReply == nullptr) {
            bAll = false;
            continue;
        }
        pAtoms[i] = pReply->atom;
        std::free(pReply);
    }
    return bAll;
}

// An unmapped window that hears about its own property changes.
xcb_window_t MakeWindow(xcb_connection_t *c, int nScreen)
{
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < nScreen && it.rem > 1; ++i)
        xcb_screen_next(&it);
    if (it.rem == 0)
        return XCB_NONE;
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t uEventMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, it.data->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      it.data->root_visual, XCB_CW_EVENT_MASK, &uEventMask);
    return window;
}

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : (int)std::min<long long>(left, 60000);
}

// Largest property one ChangeProperty request can carry on this server.
std::size_t MaxPropertyBytes(xcb_connection_t *c)
{
    const std::size_t cbRequest = (std::size_t)xcb_get_maximum_request_length(c) * 4u;
    return cbRequest > 1024 ? cbRequest - 64 : 256;
}

// A BMP file of the given DIB block (header, then rows), or empty when the
// block is too large for a BMP file.
std::vector<BYTE> BmpFile(const BYTE *pInfo, std::size_t cbInfo, const BYTE *pBits, std::size_t cbBits)
{
    std::vector<BYTE> file;
    const unsigned long long ullSize = (unsigned long long)kFileHeaderSize + cbInfo + cbBits;
    if (ullSize > 0xFFFFFFFFull || cbInfo < kInfoHeaderSize)
        return file;
    file.resize((std::size_t)ullSize);
    StoreFileHeader(file.data(), (std::uint32_t)ullSize, LoadInfoHeader(pInfo).biSize);
    std::memcpy(file.data() + kFileHeaderSize, pInfo, cbInfo);
    if (cbBits != 0)
        std::memcpy(file.data() + kFileHeaderSize + cbInfo, pBits, cbBits);
    return file;
}

} // namespace

// ---- serving ---------------------------------------------------------------------

// What the module serves after one copy.
struct tagServed {
    std::vector<BYTE> bmp; // BMP file: file header, then the DIB block
    std::vector<BYTE> png;
    bool bPngTried = false;

    const std::vector<BYTE> *Png()
    {
        if (!bPngTried) {
            bPngTried = true;
            EncodeDibAsPng(bmp.data() + kFileHeaderSize, bmp.size() - kFileHeaderSize, &png);
        }
        return png.empty() ? nullptr : &png;
    }
};

// A request from a calling thread to the serving thread.
struct tagCommand {
    std::shared_ptr<tagServed> pServed; // null: stop serving the image
    std::mutex lock;
    std::condition_variable cvDone;
    bool bDone = false;
    bool bOk = false;
    bool bAbandoned = false;
};

// One INCR transfer in progress.
struct tagTransfer {
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    std::shared_ptr<tagServed> pKeep; // the data stays alive while it is sent
    const std::vector<BYTE> *pData;
    std::size_t cbSent;
    Clock::time_point lastActivity;
};

class CSelectionOwner {
public:
    static CSelectionOwner *Connect(const std::string &display);

    // Serves pServed from now on: true once the selection is ours.
    bool Publish(const std::shared_ptr<tagServed> &pServed);
    // Stops serving the image (the selection stays ours, offering nothing).
    void Drop();
    bool Dead() const { return m_bDead.load(); }

private:
    CSelectionOwner() = default;
    bool Post(const std::shared_ptr<tagCommand> &pCommand);
    void Wake();
    void Run();
    bool RunCommands();
    void Complete(const std::shared_ptr<tagCommand> &pCommand, bool bOk);
    void Handle(xcb_generic_event_t *pEvent);
    void OnRequest(const xcb_selection_request_event_t *pRequest);
    void OnClear(const xcb_selection_clear_event_t *pClear);
    void OnProperty(const xcb_property_notify_event_t *pNotify);
    void OnError(const xcb_generic_error_t *pError);
    bool Send(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type, const std::vector<BYTE> *pData);
    void SendNext(tagTransfer &transfer);
    void Forget(std::size_t nTransfer);
    void Expire();

    xcb_connection_t *m_c = nullptr;
    xcb_window_t m_window = XCB_NONE;
    xcb_atom_t m_atoms[kAtomCount] = {};
    std::size_t m_cbMaxProperty = 0;
    int m_nWakeFd = -1;

    std::mutex m_lock; // guards the queue and the start of the thread
    std::deque<std::shared_ptr<tagCommand>> m_commands;
    bool m_bStarted = false;
    std::atomic<bool> m_bDead{false};

    // Serving thread only.
    std::shared_ptr<tagCommand> m_pPending; // a publish waiting for its timestamp
    Clock::time_point m_pendingDeadline;
    std::shared_ptr<tagServed> m_pServed;
    bool m_bOwned = false;
    xcb_timestamp_t m_acquired = 0;
    std::vector<tagTransfer> m_transfers;
};

CSelectionOwner *CSelectionOwner::Connect(const std::string &display)
{
    int nScreen = 0;
    xcb_connection_t *c = xcb_connect(display.c_str(), &nScreen);
    if (c == nullptr)
        return nullptr;
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return nullptr;
    }
    CSelectionOwner *pOwner = new (std::nothrow) CSelectionOwner;
    if (pOwner != nullptr) {
        pOwner->m_c = c;
        pOwner->m_nWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (pOwner->m_nWakeFd >= 0 && InternAtoms(c, pOwner->m_atoms)) {
            pOwner->m_window = MakeWindow(c, nScreen);
            pOwner->m_cbMaxProperty = MaxPropertyBytes(c);
            xcb_flush(c);
            if (pOwner->m_window != XCB_NONE && !xcb_connection_has_error(c))
                return pOwner;
        }
        if (pOwner->m_nWakeFd >= 0)
            close(pOwner->m_nWakeFd);
        delete pOwner;
    }
    xcb_disconnect(c);
    return nullptr;
}

bool CSelectionOwner::Post(const std::shared_ptr<tagCommand> &pCommand)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bDead.load())
            return false;
        if (!m_bStarted) {
            try {
                std::thread(&CSelectionOwner::Run, this).detach();
            } catch (...) {
                return false;
            }
            m_bStarted = true;
        }
        m_commands.push_back(pCommand);
    }
    Wake();
    return true;
}

bool CSelectionOwner::Publish(const std::shared_ptr<tagServed> &pServed)
{
    std::shared_ptr<tagCommand> pCommand = std::make_shared<tagCommand>();
    pCommand->pServed = pServed;
    if (!Post(pCommand))
        return false;
    std::unique_lock<std::mutex> hold(pCommand->lock);
    if (!pCommand->cvDone.wait_for(hold, std::chrono::milliseconds(kAnswerTimeoutMs),
                                   [&] { return pCommand->bDone; })) {
        pCommand->bAbandoned = true;
        return false;
    }
    return pCommand->bOk;
}

void CSelectionOwner::Drop()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_bStarted)
            return; // nothing was ever served
    }
    Post(std::make_shared<tagCommand>());
}

void CSelectionOwner::Wake()
{
    const uint64_t ullOne = 1;
    if (write(m_nWakeFd, &ullOne, sizeof ullOne) < 0) {
        // The counter is saturated, so the thread is already due to wake.
    }
}

void CSelectionOwner::Complete(const std::shared_ptr<tagCommand> &pCommand, bool bOk)
{
    std::lock_guard<std::mutex> hold(pCommand->lock);
    pCommand->bDone = true;
    pCommand->bOk = bOk;
    pCommand->cvDone.notify_all();
}

void CSelectionOwner::Run()
{
    const int nFd = xcb_get_file_descriptor(m_c);
    for (;;) {
        bool bBusy = false;
        while (xcb_generic_event_t *pEvent = xcb_poll_for_event(m_c)) {
            Handle(pEvent);
            std::free(pEvent);
            bBusy = true;
        }
        if (xcb_connection_has_error(m_c))
            break;
        bBusy |= RunCommands();
        Expire();
        xcb_flush(m_c);
        // Waiting for replies and flushing may have queued events that poll() would not report.
        if (bBusy)
            continue;
        if (xcb_generic_event_t *pEvent = xcb_poll_for_queued_event(m_c)) {
            Handle(pEvent);
            std::free(pEvent);
            continue;
        }
        pollfd fds[2] = {{nFd, POLLIN, 0}, {m_nWakeFd, POLLIN, 0}};
        poll(fds, 2, m_pPending || !m_transfers.empty() ? 250 : -1);
        if (fds[1].revents & POLLIN) {
            uint64_t ullCount;
            if (read(m_nWakeFd, &ullCount, sizeof ullCount) < 0) {
                // Nothing to drain.
            }
        }
    }
    // The server went away: nothing can be served any more; callers see the
    // failure and the next call connects afresh.
    std::deque<std::shared_ptr<tagCommand>> left;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bDead.store(true);
        left.swap(m_commands);
    }
    if (m_pPending)
        Complete(m_pPending, false);
    for (const auto &pCommand : left)
        Complete(pCommand, false);
    m_pPending.reset();
    m_pServed.reset();
    m_transfers.clear();
}

bool CSelectionOwner::RunCommands()
{
    if (m_pPending)
        return false;
    std::shared_ptr<tagCommand> pCommand;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_commands.empty())
            return false;
        pCommand = m_commands.front();
        m_commands.pop_front();
    }
    {
        std::lock_guard<std::mutex> hold(pCommand->lock);
        if (pCommand->bAbandoned)
            return true;
    }
    if (!pCommand->pServed) {
        m_pServed.reset();
        Complete(pCommand, true);
        return true;
    }
    // Owning a selection takes a real server time: appending nothing to a
    // property of our window makes the server report one.
    m_pPending = pCommand;
    m_pendingDeadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    xcb_change_property(m_c, XCB_PROP_MODE_APPEND, m_window, m_atoms[kAtomTime], XCB_ATOM_INTEGER, 32, 0, nullptr);
    return true;
}

void CSelectionOwner::Handle(xcb_generic_event_t *pEvent)
{
    switch (pEvent->response_type & 0x7F) {
    case 0:
        OnError(reinterpret_cast<xcb_generic_error_t *>(pEvent));
        break;
    case XCB_SELECTION_REQUEST:
        OnRequest(reinterpret_cast<xcb_selection_request_event_t *>(pEvent));
        break;
    case XCB_SELECTION_CLEAR:
        OnClear(reinterpret_cast<xcb_selection_clear_event_t *>(pEvent));
        break;
    case XCB_PROPERTY_NOTIFY:
        OnProperty(reinterpret_cast<xcb_property_notify_event_t *>(pEvent));
        break;
    default:
        break;
    }
}

void CSelectionOwner::OnProperty(const xcb_property_notify_event_t *pNotify)
{
    if (pNotify->window == m_window && pNotify->atom == m_atoms[kAtomTime]) {
        if (!m_pPending)
            return;
        const xcb_timestamp_t time = pNotify->time;
        xcb_set_selection_owner(m_c, m_window, m_atoms[kAtomClipboard], time);
        xcb_get_selection_owner_reply_t *pReply =
            xcb_get_selection_owner_reply(m_c, xcb_get_selection_owner(m_c, m_atoms[kAtomClipboard]), nullptr);
        const bool bOurs = pReply != nullptr && pReply->owner == m_window;
        std::free(pReply);
        if (bOurs) {
            m_pServed = m_pPending->pServed;
            m_bOwned = true;
            m_acquired = time;
        }
        Complete(m_pPending, bOurs);
        m_pPending.reset();
        return;
    }
    if (pNotify->state != XCB_PROPERTY_DELETE)
        return;
    for (tagTransfer &transfer : m_transfers) {
        if (transfer.requestor == pNotify->window && transfer.property == pNotify->atom) {
            SendNext(transfer);
            return;
        }
    }
}

void CSelectionOwner::OnClear(const xcb_selection_clear_event_t *pClear)
{
    // A clear from before our latest acquisition belongs to an earlier one.
    if (pClear->selection != m_atoms[kAtomClipboard] || pClear->owner != m_window || pClear->time < m_acquired)
        return;
    m_bOwned = false;
    m_pServed.reset();
}

void CSelectionOwner::OnError(const xcb_generic_error_t *pError)
{
    // A requestor whose window went away mid-transfer.
    if (pError->error_code != XCB_WINDOW)
        return;
    for (std::size_t i = m_transfers.size(); i-- > 0;) {
        if (m_transfers[i].requestor == pError->resource_id)
            m_transfers.erase(m_transfers.begin() + (std::ptrdiff_t)i);
    }
}

void CSelectionOwner::OnRequest(const xcb_selection_request_event_t *pRequest)
{
    // Requestors from before the convention name no property; the target is then used.
    const xcb_atom_t property = pRequest->property == XCB_NONE ? pRequest->target : pRequest->property;
    bool bAnswered = false;
    if (pRequest->selection == m_atoms[kAtomClipboard] && m_bOwned && pRequest->owner == m_window &&
        (pRequest->time == XCB_CURRENT_TIME || pRequest->time >= m_acquired)) {
        const xcb_atom_t target = pRequest->target;
        if (target == m_atoms[kAtomTargets]) {
            xcb_atom_t targets[4] = {m_atoms[kAtomTargets], m_atoms[kAtomTimestamp], m_atoms[kAtomBmp],
                                     m_atoms[kAtomPng]};
            xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, pRequest->requestor, property, XCB_ATOM_ATOM, 32,
                                m_pServed ? 4 : 2, targets);
            bAnswered = true;
        } else if (target == m_atoms[kAtomTimestamp]) {
            const uint32_t uTime = m_acquired;
            xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, pRequest->requestor, property, XCB_ATOM_INTEGER, 32, 1,
                                &uTime);
            bAnswered = true;
        } else if (m_pServed && (target == m_atoms[kAtomBmp] || target == m_atoms[kAtomPng])) {
            const std::vector<BYTE> *pData = target == m_atoms[kAtomBmp] ? &m_pServed->bmp : m_pServed->Png();
            bAnswered = pData != nullptr && Send(pRequest->requestor, property, target, pData);
        }
    }
    xcb_selection_notify_event_t notify;
    std::memset(&notify, 0, sizeof notify);
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = pRequest->time;
    notify.requestor = pRequest->requestor;
    notify.selection = pRequest->selection;
    notify.target = pRequest->target;
    notify.property = bAnswered ? property : XCB_NONE;
    // send_event always sends 32 bytes; the event struct is shorter.
    char aEvent[32] = {};
    static_assert(sizeof notify <= sizeof aEvent, "an X event is 32 bytes");
    std::memcpy(aEvent, &notify, sizeof notify);
    xcb_send_event(m_c, 0, pRequest->requestor, XCB_EVENT_MASK_NO_EVENT, aEvent);
}

bool CSelectionOwner::Send(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type,
                           const std::vector<BYTE> *pData)
{
    if (pData->size() <= m_cbMaxProperty) {
        xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, type, 8, (uint32_t)pData->size(),
                            pData->data());
        return true;
    }
    // Too large for one request: announce the size and hand the data over
    // in chunks, one each time the requestor deletes the property.
    for (std::size_t i = m_transfers.size(); i-- > 0;) {
        if (m_transfers[i].requestor == requestor && m_transfers[i].property == property)
            m_transfers.erase(m_transfers.begin() + (std::ptrdiff_t)i);
    }
    const uint32_t uEventMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(m_c, requestor, XCB_CW_EVENT_MASK, &uEventMask);
    const uint32_t uSize = (uint32_t)std::min<std::size_t>(pData->size(), 0xFFFFFFFFu);
    xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, requestor, property, m_atoms[kAtomIncr], 32, 1, &uSize);
    m_transfers.push_back(tagTransfer{requestor, property, type, m_pServed, pData, 0, Clock::now()});
    return true;
}

void CSelectionOwner::SendNext(tagTransfer &transfer)
{
    const std::size_t cbChunk = std::min(kIncrChunk, m_cbMaxProperty);
    const std::size_t cbLeft = transfer.pData->size() - transfer.cbSent;
    const std::size_t cbNow = std::min(cbChunk, cbLeft);
    xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, transfer.requestor, transfer.property, transfer.type, 8,
                        (uint32_t)cbNow, transfer.pData->data() + transfer.cbSent);
    transfer.cbSent += cbNow;
    transfer.lastActivity = Clock::now();
    if (cbNow == 0) {
        // The empty chunk ends the transfer.
        Forget((std::size_t)(&transfer - m_transfers.data()));
    }
}

void CSelectionOwner::Forget(std::size_t nTransfer)
{
    const xcb_window_t requestor = m_transfers[nTransfer].requestor;
    m_transfers.erase(m_transfers.begin() + (std::ptrdiff_t)nTransfer);
    for (const tagTransfer &other : m_transfers) {
        if (other.requestor == requestor)
            return;
    }
    // No event mask of ours is left on another client's window.
    const uint32_t uNoEvents = 0;
    xcb_change_window_attributes(m_c, requestor, XCB_CW_EVENT_MASK, &uNoEvents);
}

void CSelectionOwner::Expire()
{
    const Clock::time_point now = Clock::now();
    if (m_pPending && now >= m_pendingDeadline) {
        Complete(m_pPending, false);
        m_pPending.reset();
    }
    for (std::size_t i = m_transfers.size(); i-- > 0;) {
        if (now - m_transfers[i].lastActivity >= std::chrono::milliseconds(kTransferIdleMs))
            Forget(i);
    }
}

// ---- reading -----------------------------------------------------------------

// One connection and window for asking the selection's owner for data.
class CSelectionReader {
public:
    ~CSelectionReader()
    {
        if (m_c != nullptr)
            xcb_disconnect(m_c);
    }

    bool Connect(const std::string &display)
    {
        int nScreen = 0;
        m_c = xcb_connect(display.c_str(), &nScreen);
        if (m_c == nullptr || xcb_connection_has_error(m_c) || !InternAtoms(m_c, m_atoms))
            return false;
        m_window = MakeWindow(m_c, nScreen);
        return m_window != XCB_NONE;
    }

    xcb_atom_t Atom(int nAtom) const { return m_atoms[nAtom]; }

    // The owner's data for a target, INCR transfers included.
    bool Fetch(xcb_atom_t target, std::vector<BYTE> *pData, xcb_atom_t *pType)
    {
        pData->clear();
        const xcb_atom_t property = m_atoms[kAtomData];
        xcb_delete_property(m_c, m_window, property);
        xcb_convert_selection(m_c, m_window, m_atoms[kAtomClipboard], target, property, XCB_CURRENT_TIME);
        xcb_flush(m_c);
        xcb_generic_event_t *pEvent = WaitFor([&](xcb_generic_event_t *p) {
            if ((p->response_type & 0x7F) != XCB_SELECTION_NOTIFY)
                return false;
            const auto *pNotify = reinterpret_cast<xcb_selection_notify_event_t *>(p);
            return pNotify->requestor == m_window && pNotify->selection == m_atoms[kAtomClipboard] &&
                   pNotify->target == target;
        });
        if (pEvent == nullptr)
            return false;
        const bool bRefused = reinterpret_cast<xcb_selection_notify_event_t *>(pEvent)->property == XCB_NONE;
        std::free(pEvent);
        if (bRefused)
            return false;
        xcb_atom_t type = XCB_NONE;
        if (!TakeProperty(pData, &type))
            return false;
        if (type == m_atoms[kAtomIncr]) {
            pData->clear();
            for (;;) {
                pEvent = WaitFor([&](xcb_generic_event_t *p) {
                    if ((p->response_type & 0x7F) != XCB_PROPERTY_NOTIFY)
                        return false;
                    const auto *pNotify = reinterpret_cast<xcb_property_notify_event_t *>(p);
                    return pNotify->window == m_window && pNotify->atom == property &&
                           pNotify->state == XCB_PROPERTY_NEW_VALUE;
                });
                if (pEvent == nullptr)
                    return false;
                std::free(pEvent);
                std::size_t cbBefore = pData->size();
                if (!TakeProperty(pData, &type))
                    return false;
                if (pData->size() == cbBefore)
                    break;
            }
        }
        *pType = type;
        return true;
    }

private:
    template <class Pred>
    xcb_generic_event_t *WaitFor(Pred &&fnWanted)
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
        const int nFd = xcb_get_file_descriptor(m_c);
        for (;;) {
            while (xcb_generic_event_t *pEvent = xcb_poll_for_event(m_c)) {
                if (fnWanted(pEvent))
                    return pEvent;
                std::free(pEvent);
            }
            if (xcb_connection_has_error(m_c))
                return nullptr;
            const int nMs = MsLeft(deadline);
            if (nMs == 0)
                return nullptr;
            pollfd fd = {nFd, POLLIN, 0};
            poll(&fd, 1, nMs);
        }
    }

    // Reads and deletes the data property, appending its bytes.
    bool TakeProperty(std::vector<BYTE> *pData, xcb_atom_t *pType)
    {
        xcb_get_property_reply_t *pReply = xcb_get_property_reply(
            m_c,
            xcb_get_property(m_c, 1, m_window, m_atoms[kAtomData], XCB_GET_PROPERTY_TYPE_ANY, 0,
                             (uint32_t)(kMaxFetchBytes / 4)),
            nullptr);
        if (pReply == nullptr)
            return false;
        const int cbValue = xcb_get_property_value_length(pReply);
        const bool bFits = pReply->bytes_after == 0 && cbValue >= 0 &&
                           pData->size() + (std::size_t)cbValue <= kMaxFetchBytes;
        if (bFits) {
            const BYTE *pValue = static_cast<const BYTE *>(xcb_get_property_value(pReply));
            try {
                pData->insert(pData->end(), pValue, pValue + cbValue);
            } catch (const std::bad_alloc &) {
                std::free(pReply);
                return false;
            }
            *pType = pReply->type;
        }
        std::free(pReply);
        return bFits;
    }

    xcb_connection_t *m_c = nullptr;
    xcb_window_t m_window = XCB_NONE;
    xcb_atom_t m_atoms[kAtomCount] = {};
};

// The targets the owner offers, with the TARGETS request.
bool OfferedTargets(CSelectionReader &reader, bool *pBmp, bool *pPng)
{
    std::vector<BYTE> data;
    xcb_atom_t type = XCB_NONE;
    *pBmp = *pPng = false;
    if (!reader.Fetch(reader.Atom(kAtomTargets), &data, &type) || type != XCB_ATOM_ATOM)
        return false;
    for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
        xcb_atom_t atom;
        std::memcpy(&atom, data.data() + i, 4);
        *pBmp |= atom == reader.Atom(kAtomBmp);
        *pPng |= atom == reader.Atom(kAtomPng);
    }
    return true;
}

// ---- the clipboard -------------------------------------------------------------

CX11Clipboard *CX11Clipboard::ForDisplay(const std::string &display)
{
    struct tagRegistry {
        std::mutex lock;
        std::vector<CX11Clipboard *> all;
    };
    // Never destroyed, like everything the serving threads use.
    static tagRegistry *s_pRegistry = new tagRegistry;
    std::lock_guard<std::mutex> hold(s_pRegistry->lock);
    for (CX11Clipboard *pClipboard : s_pRegistry->all) {
        if (pClipboard->m_display == display && !pClipboard->m_pOwner->Dead())
            return pClipboard;
    }
    CSelectionOwner *pOwner = CSelectionOwner::Connect(display);
    if (pOwner == nullptr)
        return nullptr;
    CX11Clipboard *pClipboard = new CX11Clipboard(display, pOwner);
    s_pRegistry->all.push_back(pClipboard);
    return pClipboard;
}

bool CX11Clipboard::Open(HWND hOwner)
{
    return m_gate.Enter(hOwner);
}

bool CX11Clipboard::Empty()
{
    CountAdd(kCountEmpty);
    m_pOwner->Drop();
    return true;
}

void *CX11Clipboard::SetData(UINT uFormat, void *hData)
{
    if (hData == nullptr)
        return nullptr;
    std::shared_ptr<tagServed> pServed = std::make_shared<tagServed>();
    if (uFormat == CF_DIB) {
        HGLOBAL hBlock = static_cast<HGLOBAL>(hData);
        const BYTE *pBlock = GlobalLock(hBlock);
        if (pBlock == nullptr)
            return nullptr;
        const std::size_t cbBlock = GlobalSize(hBlock);
        if (cbBlock >= kInfoHeaderSize)
            pServed->bmp = BmpFile(pBlock, kInfoHeaderSize, pBlock + kInfoHeaderSize, cbBlock - kInfoHeaderSize);
        GlobalUnlock(hBlock);
    } else if (uFormat == CF_BITMAP) {
        HBITMAP hBitmap = static_cast<HBITMAP>(hData);
        std::size_t cbBits = 0;
        const BYTE *pBits = BitmapStoredBits(hBitmap, &cbBits);
        if (pBits == nullptr)
            return nullptr;
        pServed->bmp = BmpFile(reinterpret_cast<const BYTE *>(BitmapHeader(hBitmap)), kInfoHeaderSize, pBits, cbBits);
    } else {
        return nullptr;
    }
    if (pServed->bmp.empty() || !m_pOwner->Publish(pServed))
        return nullptr;
    // The served image is a copy; the handle is the clipboard's until the call closes it.
    if (uFormat == CF_DIB)
        m_handedBlocks.push_back(static_cast<HGLOBAL>(hData));
    else
        m_handedBitmaps.push_back(static_cast<HBITMAP>(hData));
    return hData;
}

bool CX11Clipboard::IsFormatAvailable(UINT uFormat)
{
    if (uFormat != CF_DIB && uFormat != CF_BITMAP)
        return false;
    CSelectionReader reader;
    bool bBmp = false, bPng = false;
    return reader.Connect(m_display) && OfferedTargets(reader, &bBmp, &bPng) && (bBmp || bPng);
}

HGLOBAL CX11Clipboard::FetchDib()
{
    CSelectionReader reader;
    bool bBmp = false, bPng = false;
    if (!reader.Connect(m_display) || !OfferedTargets(reader, &bBmp, &bPng))
        return nullptr;
    std::vector<BYTE> data;
    xcb_atom_t type = XCB_NONE;
    if (bBmp && reader.Fetch(reader.Atom(kAtomBmp), &data, &type) && data.size() >= kFileHeaderSize &&
        data[0] == 'B' && data[1] == 'M')
        return GlobalAdopt(std::move(data), kFileHeaderSize);
    if (bPng && reader.Fetch(reader.Atom(kAtomPng), &data, &type)) {
        std::vector<BYTE> dib;
        if (DecodePngAsDib(data.data(), data.size(), &dib))
            return GlobalAdopt(std::move(dib), 0);
    }
    return nullptr;
}

HBITMAP CX11Clipboard::BitmapFromDib(HGLOBAL hDib)
{
    const BYTE *pDib = GlobalLock(hDib);
    tagDibRows rows;
    HBITMAP hBitmap = nullptr;
    if (ReadDibHeader(pDib, GlobalSize(hDib), &rows) && (rows.nBytesPerPixel == 3 || rows.nBytesPerPixel == 4) &&
        DibRowsInside(rows, GlobalSize(hDib))) {
        tagBITMAPINFOHEADER header = LoadInfoHeader(pDib);
        const std::size_t cbRow = (std::size_t)rows.nWidth * rows.nBytesPerPixel;
        const std::size_t cbStride = (std::size_t)DibRowBytes((UINT)rows.nWidth, (UINT)rows.nBytesPerPixel);
        header = MakeCopyHeader((UINT)rows.nWidth, (UINT)rows.nHeight, (UINT)rows.nBytesPerPixel,
                                (UINT)(cbStride * rows.nHeight), header.biXPelsPerMeter);
        void *pBits = nullptr;
        hBitmap = CreateDIBSection(header, &pBits);
        if (pBits != nullptr) {
            BYTE *pRows = static_cast<BYTE *>(pBits);
            for (int y = 0; y < rows.nHeight; ++y)
                std::memcpy(pRows + (std::size_t)(rows.nHeight - 1 - y) * cbStride, rows.Row(pDib, y), cbRow);
        }
    }
    GlobalUnlock(hDib);
    return hBitmap;
}

void *CX11Clipboard::GetData(UINT uFormat)
{
    if (uFormat != CF_DIB && uFormat != CF_BITMAP)
        return nullptr;
    if (!m_bFetched) {
        m_bFetched = true;
        m_hFetchedDib = FetchDib();
    }
    if (uFormat == CF_DIB)
        return m_hFetchedDib;
    if (m_hFetchedBitmap == nullptr && m_hFetchedDib != nullptr)
        m_hFetchedBitmap = BitmapFromDib(m_hFetchedDib);
    return m_hFetchedBitmap;
}

void CX11Clipboard::ReleaseCallData()
{
    GlobalFree(m_hFetchedDib);
    DeleteObject(m_hFetchedBitmap);
    m_hFetchedDib = nullptr;
    m_hFetchedBitmap = nullptr;
    m_bFetched = false;
    for (HGLOBAL hBlock : m_handedBlocks)
        GlobalFree(hBlock);
    for (HBITMAP hBitmap : m_handedBitmaps)
        DeleteObject(hBitmap);
    m_handedBlocks.clear();
    m_handedBitmaps.clear();
}

bool CX11Clipboard::Close()
{
    ReleaseCallData();
    m_gate.Leave();
    return true;
}

} // namespace clip
} // namespace qel
