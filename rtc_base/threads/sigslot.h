#ifndef RTC_BASE_THREADS_SIGSLOT_H_
#define RTC_BASE_THREADS_SIGSLOT_H_

// Signals and slots: a signal keeps a list of (receiver, member function)
// connections and calls them in connection order. A receiver derives from
// sigslot::has_slots<>, whose destructor disconnects it from every signal, so
// a destroyed receiver is never called.
//
// An emission calls the connections in order, those made while it runs
// included: a connection that a slot makes is called later in the same
// emission, once. The exception is a receiver connected while its own slot
// runs (a slot that reconnects itself): that connection waits for the next
// emission, or the slot could call itself for ever. A connection removed
// during the emission, by a disconnect or its receiver's destruction, is not
// called after that.
//
//   class Listener : public sigslot::has_slots<> {
//    public:
//     void OnRead(rtc::AsyncSocket* socket);
//   };
//   socket->SignalReadEvent.connect(&listener, &Listener::OnRead);
//
// Lock policies:
// - single_threaded: no locking. Connect, disconnect and emit on one thread.
//   A slot may disconnect itself, connect others, destroy its receiver, emit
//   the signal again or destroy the signal while it is being emitted.
// - multi_threaded_local: one non-recursive mutex per signal, held for the
//   whole emission. Other threads may connect and disconnect while one thread
//   emits; a slot must not connect to, disconnect from, emit or destroy the
//   signal that is calling it (nor its owner). Debug builds check this and
//   abort; release builds would hang.
// sigslot::signal<...> and signal0 to signal5 use multi_threaded_local
// unless given another policy.
//
// A receiver's has_slots destructor runs after its own class's destructor.
// When another thread may emit to it meanwhile, the receiver's destructor
// calls disconnect_all() first, so that no slot runs on a half-destroyed
// object.
//
// Emission allocates nothing.

#include <pthread.h>
#include <stdint.h>
#include <string.h>

#include <iterator>
#include <list>
#include <set>

#include "absl/base/thread_annotations.h"

namespace sigslot {

class single_threaded {
 public:
  void lock() {}
  void unlock() {}
};

class ABSL_LOCKABLE multi_threaded_local {
 public:
  multi_threaded_local();
  multi_threaded_local(const multi_threaded_local&) = delete;
  multi_threaded_local& operator=(const multi_threaded_local&) = delete;
  ~multi_threaded_local();

  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION();
  void unlock() ABSL_UNLOCK_FUNCTION();

 private:
  pthread_mutex_t mutex_;
};

#define SIGSLOT_DEFAULT_MT_POLICY multi_threaded_local

template <class mt_policy>
class ABSL_SCOPED_LOCKABLE lock_block {
 public:
  explicit lock_block(mt_policy* mtx) ABSL_EXCLUSIVE_LOCK_FUNCTION(mtx) : m_mutex(mtx) {
    m_mutex->lock();
  }
  ~lock_block() ABSL_UNLOCK_FUNCTION() { m_mutex->unlock(); }
  lock_block(const lock_block&) = delete;
  lock_block& operator=(const lock_block&) = delete;

 private:
  mt_policy* m_mutex;
};

class _signal_base_interface;

// The receiver side. Its operations are function pointers held as data rather
// than virtual functions, so that a signal can still disconnect a receiver
// whose most derived part is already destroyed.
class has_slots_interface {
 private:
  typedef void (*signal_connect_t)(has_slots_interface* self, _signal_base_interface* sender);
  typedef void (*signal_disconnect_t)(has_slots_interface* self, _signal_base_interface* sender);
  typedef void (*disconnect_all_t)(has_slots_interface* self);

  const signal_connect_t m_signal_connect;
  const signal_disconnect_t m_signal_disconnect;
  const disconnect_all_t m_disconnect_all;

 protected:
  has_slots_interface(signal_connect_t conn, signal_disconnect_t disc, disconnect_all_t disc_all)
      : m_signal_connect(conn), m_signal_disconnect(disc), m_disconnect_all(disc_all) {}

  // Not deleted through this interface.
  virtual ~has_slots_interface() {}

 public:
  void signal_connect(_signal_base_interface* sender) { m_signal_connect(this, sender); }
  void signal_disconnect(_signal_base_interface* sender) { m_signal_disconnect(this, sender); }
  void disconnect_all() { m_disconnect_all(this); }
};

// The signal side, as the receiver sees it.
class _signal_base_interface {
 private:
  typedef void (*slot_disconnect_t)(_signal_base_interface* self, has_slots_interface* pslot);
  typedef void (*slot_duplicate_t)(_signal_base_interface* self,
                                   const has_slots_interface* poldslot,
                                   has_slots_interface* pnewslot);

  const slot_disconnect_t m_slot_disconnect;
  const slot_duplicate_t m_slot_duplicate;

 protected:
  _signal_base_interface(slot_disconnect_t disc, slot_duplicate_t dupl)
      : m_slot_disconnect(disc), m_slot_duplicate(dupl) {}

  ~_signal_base_interface() {}

 public:
  // Removes every connection to the receiver without telling it.
  void slot_disconnect(has_slots_interface* pslot) { m_slot_disconnect(this, pslot); }
  // Appends a copy of every connection to the old receiver, aimed at the new.
  void slot_duplicate(const has_slots_interface* poldslot, has_slots_interface* pnewslot) {
    m_slot_duplicate(this, poldslot, pnewslot);
  }
};

// A connection with its types erased: the receiver, the member function (it
// may be virtual, so an override is called) and an emitter function that
// knows both types.
class _opaque_connection {
 private:
  // The emitter's real type depends on the argument list; void (*)() is the
  // generic function pointer type that converts to and from any other.
  typedef void (*emit_t)();

  emit_t pemit;
  has_slots_interface* pdest;
  // A pointer to member function is two words in the Itanium ABI.
  unsigned char pmethod[2 * sizeof(void*)];

 public:
  template <typename DestT, typename... Args>
  _opaque_connection(DestT* pd, void (DestT::*pm)(Args...)) : pdest(pd) {
    typedef void (DestT::*pm_t)(Args...);
    static_assert(sizeof(pm_t) <= sizeof(pmethod),
                  "member function pointers are larger than expected");
    memset(pmethod, 0, sizeof(pmethod));
    memcpy(pmethod, &pm, sizeof(pm_t));
    typedef void (*em_t)(const _opaque_connection*, Args...);
    em_t emitter_fn = &_opaque_connection::emitter<DestT, Args...>;
    pemit = reinterpret_cast<emit_t>(emitter_fn);
  }

  has_slots_interface* getdest() const { return pdest; }

  _opaque_connection duplicate(has_slots_interface* newtarget) const {
    _opaque_connection res = *this;
    res.pdest = newtarget;
    return res;
  }

  // Args must be the argument types the connection was made with.
  template <typename... Args>
  void emit(Args... args) const {
    typedef void (*em_t)(const _opaque_connection*, Args...);
    (*reinterpret_cast<em_t>(pemit))(this, args...);
  }

 private:
  template <typename DestT, typename... Args>
  static void emitter(const _opaque_connection* self, Args... args) {
    typedef void (DestT::*pm_t)(Args...);
    pm_t pm;
    memcpy(&pm, self->pmethod, sizeof(pm_t));
    (static_cast<DestT*>(self->pdest)->*(pm))(args...);
  }
};

template <class mt_policy>
class _signal_base : public _signal_base_interface, public mt_policy {
 protected:
  struct connection {
    _opaque_connection slot;
    // Emissions numbered up to this one pass the connection by: its receiver
    // made it while that receiver's slot ran. 0 for every other connection.
    uint64_t skipped_through;
  };
  typedef std::list<connection> connections_list;

  // One per emission in progress, on the emitting thread's stack. `next` is
  // the connection to call next; a removal moves it on, and an appended
  // connection becomes it when the emission has reached end(). `calling` is
  // the receiver whose slot runs, null between calls. Nested emissions of a
  // single-threaded signal form a chain through `outer`.
  struct emission {
    typename connections_list::iterator next;
    uint64_t number;
    const has_slots_interface* calling;
    emission* outer;
    bool signal_destroyed;
  };

  _signal_base()
      : _signal_base_interface(&_signal_base::do_slot_disconnect,
                               &_signal_base::do_slot_duplicate) {}

  ~_signal_base() {
    disconnect_all();
    // Emissions of this signal further up the stack stop without touching it.
    for (emission* e = m_emissions; e; e = e->outer) e->signal_destroyed = true;
  }

 public:
  _signal_base(const _signal_base&) = delete;
  _signal_base& operator=(const _signal_base&) = delete;

  bool is_empty() {
    lock_block<mt_policy> lock(this);
    return m_connected_slots.empty();
  }

  // Disconnects every receiver, telling each.
  void disconnect_all() {
    lock_block<mt_policy> lock(this);
    while (!m_connected_slots.empty()) {
      has_slots_interface* pdest = m_connected_slots.front().slot.getdest();
      m_connected_slots.pop_front();
      pdest->signal_disconnect(static_cast<_signal_base_interface*>(this));
    }
    for (emission* e = m_emissions; e; e = e->outer) e->next = m_connected_slots.end();
  }

  // Whether the receiver has at least one connection to this signal.
  bool connected(has_slots_interface* pclass) {
    lock_block<mt_policy> lock(this);
    for (const connection& conn : m_connected_slots) {
      if (conn.slot.getdest() == pclass) return true;
    }
    return false;
  }

  // Removes every connection of the receiver; a receiver connected twice is
  // fully disconnected, so its later destruction leaves nothing behind.
  void disconnect(has_slots_interface* pclass) {
    lock_block<mt_policy> lock(this);
    if (remove_connections(pclass)) {
      pclass->signal_disconnect(static_cast<_signal_base_interface*>(this));
    }
  }

 private:
  // Caller holds the lock.
  bool remove_connections(const has_slots_interface* pclass) {
    bool found = false;
    auto it = m_connected_slots.begin();
    while (it != m_connected_slots.end()) {
      if (it->slot.getdest() != pclass) {
        ++it;
        continue;
      }
      for (emission* e = m_emissions; e; e = e->outer) {
        if (e->next == it) ++e->next;
      }
      it = m_connected_slots.erase(it);
      found = true;
    }
    return found;
  }

  static void do_slot_disconnect(_signal_base_interface* p, has_slots_interface* pslot) {
    _signal_base* const self = static_cast<_signal_base*>(p);
    lock_block<mt_policy> lock(self);
    self->remove_connections(pslot);
  }

  static void do_slot_duplicate(_signal_base_interface* p, const has_slots_interface* oldtarget,
                                has_slots_interface* newtarget) {
    _signal_base* const self = static_cast<_signal_base*>(p);
    lock_block<mt_policy> lock(self);
    // The copies go to the end, so only the original connections are seen.
    const size_t count = self->m_connected_slots.size();
    auto it = self->m_connected_slots.begin();
    for (size_t i = 0; i < count; ++i, ++it) {
      if (it->slot.getdest() == oldtarget) {
        self->append_connection(it->slot.duplicate(newtarget));
      }
    }
  }

 protected:
  // Caller holds the lock. Emissions in progress call the new connection
  // when they reach it, unless a slot of its receiver is running in one of
  // them: a slot that reconnects itself would otherwise run again at once,
  // and again, for ever.
  void append_connection(const _opaque_connection& conn) {
    m_connected_slots.push_back(connection{conn, 0});
    const auto added = std::prev(m_connected_slots.end());
    for (emission* e = m_emissions; e; e = e->outer) {
      if (e->calling == conn.getdest()) added->skipped_through = m_emission_count;
      // An emission that has called everything would not see it past end().
      if (e->next == m_connected_slots.end()) e->next = added;
    }
  }

  connections_list m_connected_slots;
  emission* m_emissions = nullptr;
  // Numbers the emissions; every emission in progress has one up to this.
  uint64_t m_emission_count = 0;
};

template <class mt_policy = single_threaded>
class has_slots : public has_slots_interface, public mt_policy {
 private:
  typedef std::set<_signal_base_interface*> sender_set;

 public:
  has_slots()
      : has_slots_interface(&has_slots::do_signal_connect, &has_slots::do_signal_disconnect,
                            &has_slots::do_disconnect_all) {}

  // A copy listens to the same signals as the original, with the same
  // member functions.
  has_slots(const has_slots& hs)
      : has_slots_interface(&has_slots::do_signal_connect, &has_slots::do_signal_disconnect,
                            &has_slots::do_disconnect_all),
        mt_policy() {
    lock_block<mt_policy> lock(this);
    for (_signal_base_interface* sender : hs.m_senders) {
      sender->slot_duplicate(&hs, this);
      m_senders.insert(sender);
    }
  }

  has_slots& operator=(const has_slots&) = delete;

  ~has_slots() override { this->disconnect_all(); }

 private:
  static void do_signal_connect(has_slots_interface* p, _signal_base_interface* sender) {
    has_slots* const self = static_cast<has_slots*>(p);
    lock_block<mt_policy> lock(self);
    self->m_senders.insert(sender);
  }

  static void do_signal_disconnect(has_slots_interface* p, _signal_base_interface* sender) {
    has_slots* const self = static_cast<has_slots*>(p);
    lock_block<mt_policy> lock(self);
    self->m_senders.erase(sender);
  }

  static void do_disconnect_all(has_slots_interface* p) {
    has_slots* const self = static_cast<has_slots*>(p);
    // The signals are told without this receiver's lock held, so the lock
    // order is always signal then receiver. A slot may connect this receiver
    // to a signal meanwhile, hence the loop.
    for (;;) {
      sender_set senders;
      {
        lock_block<mt_policy> lock(self);
        senders.swap(self->m_senders);
      }
      if (senders.empty()) return;
      for (_signal_base_interface* sender : senders) {
        sender->slot_disconnect(p);
      }
    }
  }

  sender_set m_senders;
};

template <class mt_policy, typename... Args>
class signal_with_thread_policy : public _signal_base<mt_policy> {
 private:
  typedef _signal_base<mt_policy> base;

 public:
  signal_with_thread_policy() = default;

  // Appends a connection; connecting the same pair twice calls it twice.
  template <class desttype>
  void connect(desttype* pclass, void (desttype::*pmemfun)(Args...)) {
    lock_block<mt_policy> lock(this);
    this->append_connection(_opaque_connection(pclass, pmemfun));
    pclass->signal_connect(static_cast<_signal_base_interface*>(this));
  }

  // Not analysed: the return after a slot destroyed the signal leaves its lock held, which
  // happens only to a single-threaded signal, whose lock is nothing.
  void emit(Args... args) ABSL_NO_THREAD_SAFETY_ANALYSIS {
    this->lock();
    typename base::emission e{this->m_connected_slots.begin(), ++this->m_emission_count, nullptr,
                              this->m_emissions, false};
    this->m_emissions = &e;
    while (e.next != this->m_connected_slots.end()) {
      // The iterator moves on before the call, so the slot may remove its
      // own connection, and the connection is copied, so it may be freed.
      const auto current = e.next;
      ++e.next;
      if (current->skipped_through >= e.number) continue;
      const _opaque_connection conn = current->slot;
      e.calling = conn.getdest();
      conn.emit<Args...>(args...);
      // A slot destroyed this single-threaded signal: touch nothing of it.
      if (e.signal_destroyed) return;
      e.calling = nullptr;
    }
    this->m_emissions = e.outer;
    this->unlock();
  }

  void operator()(Args... args) { emit(args...); }
};

template <typename... Args>
using signal = signal_with_thread_policy<SIGSLOT_DEFAULT_MT_POLICY, Args...>;

template <class mt_policy = SIGSLOT_DEFAULT_MT_POLICY>
using signal0 = signal_with_thread_policy<mt_policy>;
template <typename A1, class mt_policy = SIGSLOT_DEFAULT_MT_POLICY>
using signal1 = signal_with_thread_policy<mt_policy, A1>;
template <typename A1, typename A2, class mt_policy = SIGSLOT_DEFAULT_MT_POLICY>
using signal2 = signal_with_thread_policy<mt_policy, A1, A2>;
template <typename A1, typename A2, typename A3, class mt_policy = SIGSLOT_DEFAULT_MT_POLICY>
using signal3 = signal_with_thread_policy<mt_policy, A1, A2, A3>;
template <typename A1, typename A2, typename A3, typename A4,
          class mt_policy = SIGSLOT_DEFAULT_MT_POLICY>
using signal4 = signal_with_thread_policy<mt_policy, A1, A2, A3, A4>;
template <typename A1, typename A2, typename A3, typename A4, typename A5,
          class mt_policy = SIGSLOT_DEFAULT_MT_POLICY>
using signal5 = signal_with_thread_policy<mt_policy, A1, A2, A3, A4, A5>;

}  // namespace sigslot

#endif  // RTC_BASE_THREADS_SIGSLOT_H_
