// Preloaded into ThreadSanitizer runs (tools/tsan-check) to tell it about the
// synchronisation that happens inside Qt's own libraries, which are not built
// with ThreadSanitizer and so are invisible to it:
//
// - QMutex and QReadWriteLock: their lock and unlock functions live in QtCore,
//   so a mutex the tool takes would look like no lock at all. Each call made
//   through the dynamic linker (from our code, QtNetwork, QtGui, QtWidgets) is
//   passed on to Qt and then reported as an acquire or release of that lock.
// - Cross-thread events (queued signals, invokeMethod, postEvent, deleteLater):
//   the event queue is guarded inside QtCore. Every way of posting that goes
//   through the dynamic linker releases one shared clock, and every event
//   delivery (Qt's event-notify callback, which runs in the receiving thread
//   before the receiver sees the event) acquires it. That is coarser than the
//   real ordering: a race between two threads that also exchange unrelated
//   events in between can go unseen, but no correctly ordered access is
//   reported.
//
// Built without ThreadSanitizer itself and finding its annotation functions at
// run time, so the programs the tests start through the preload (sh, unshare,
// ip) run unchanged.

// Only Qt's declarations are used: no reference to QtCore's version tag, since
// the library must load in processes without QtCore.
#define QT_NO_VERSION_TAGGING
#include <QtCore/qnamespace.h>
#include <QtCore/qobjectdefs.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

class QDeadlineTimer;
class QEvent;
class QObject;
namespace QtPrivate
{
class QSlotObjectBase;
}

namespace
{

using Annotation = void (*)(void*);

Annotation annotation(const char* name)
{
    return reinterpret_cast<Annotation>(dlsym(RTLD_DEFAULT, name));
}

void acquire(void* address)
{
    static const Annotation tsanAcquire = annotation("__tsan_acquire");
    if (tsanAcquire)
        tsanAcquire(address);
}

void release(void* address)
{
    static const Annotation tsanRelease = annotation("__tsan_release");
    if (tsanRelease)
        tsanRelease(address);
}

// Qt's own definition of a symbol this file takes over.
template <typename Function> Function next(const char* symbol)
{
    void* found = dlvsym(RTLD_NEXT, symbol, "Qt_5");
    if (!found)
        found = dlsym(RTLD_NEXT, symbol);
    if (!found) {
        std::fprintf(stderr, "tsanqtsync: %s not found\n", symbol);
        std::abort();
    }
    return reinterpret_cast<Function>(found);
}

char eventClock;

bool onEventDelivery(void**)
{
    acquire(&eventClock);
    return false; // deliver the event as usual
}

// Qt 5's hook for every event delivery, in whichever thread delivers it.
void registerEventHook() __attribute__((constructor));
void registerEventHook()
{
    using Register = bool (*)(QInternal::Callback, qInternalCallback);
    auto registerCallback = reinterpret_cast<Register>(
        dlsym(RTLD_DEFAULT, "_ZN9QInternal16registerCallbackENS_8CallbackEPFbPPvE"));
    // Only in processes that have QtCore and ThreadSanitizer.
    if (registerCallback && annotation("__tsan_acquire"))
        registerCallback(QInternal::EventNotifyCallback, &onEventDelivery);
}

} // namespace

// ---------------------------------------------------------------- locks

extern "C" void tsanQMutexLock(void* self) __asm__("_ZN6QMutex4lockEv");
extern "C" void tsanQMutexUnlock(void* self) __asm__("_ZN6QMutex6unlockEv");
extern "C" bool tsanQMutexTryLock(void* self, int timeout) __asm__("_ZN6QMutex7tryLockEi");
extern "C" void tsanReadLock(void* self) __asm__("_ZN14QReadWriteLock11lockForReadEv");
extern "C" void tsanWriteLock(void* self) __asm__("_ZN14QReadWriteLock12lockForWriteEv");
extern "C" void tsanReadWriteUnlock(void* self) __asm__("_ZN14QReadWriteLock6unlockEv");

void tsanQMutexLock(void* self)
{
    static const auto real = next<void (*)(void*)>("_ZN6QMutex4lockEv");
    real(self);
    acquire(self);
}

void tsanQMutexUnlock(void* self)
{
    static const auto real = next<void (*)(void*)>("_ZN6QMutex6unlockEv");
    release(self);
    real(self);
}

bool tsanQMutexTryLock(void* self, int timeout)
{
    static const auto real = next<bool (*)(void*, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = real(self, timeout);
    if (locked)
        acquire(self);
    return locked;
}

void tsanReadLock(void* self)
{
    static const auto real = next<void (*)(void*)>("_ZN14QReadWriteLock11lockForReadEv");
    real(self);
    acquire(self);
}

void tsanWriteLock(void* self)
{
    static const auto real = next<void (*)(void*)>("_ZN14QReadWriteLock12lockForWriteEv");
    real(self);
    acquire(self);
}

void tsanReadWriteUnlock(void* self)
{
    static const auto real = next<void (*)(void*)>("_ZN14QReadWriteLock6unlockEv");
    release(self);
    real(self);
}

// ---------------------------------------------------------------- events

extern "C" void tsanActivate1(QObject*, int, void**) __asm__(
    "_ZN11QMetaObject8activateEP7QObjectiPPv");
extern "C" void tsanActivate2(QObject*, const QMetaObject*, int, void**) __asm__(
    "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
extern "C" void tsanActivate3(QObject*, int, int, void**) __asm__(
    "_ZN11QMetaObject8activateEP7QObjectiiPPv");
extern "C" void tsanPostEvent(QObject*, QEvent*, int) __asm__(
    "_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
extern "C" bool tsanInvokeMethodImpl(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType,
    void*) __asm__("_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt1"
                   "4ConnectionTypeEPv");
extern "C" bool tsanInvokeMethod(QObject*, const char*, Qt::ConnectionType, QGenericReturnArgument,
    QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
    QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
    QGenericArgument) __asm__("_ZN11QMetaObject12invokeMethodEP7QObjectPKcN2Qt14ConnectionTypeE22QG"
                              "enericReturnArgument"
                              "16QGenericArgumentS7_S7_S7_S7_S7_S7_S7_S7_S7_");
extern "C" void tsanDeleteLater(QObject*) __asm__("_ZN7QObject11deleteLaterEv");

void tsanActivate1(QObject* sender, int signal, void** argv)
{
    static const auto real
        = next<void (*)(QObject*, int, void**)>("_ZN11QMetaObject8activateEP7QObjectiPPv");
    release(&eventClock);
    real(sender, signal, argv);
}

void tsanActivate2(QObject* sender, const QMetaObject* meta, int signal, void** argv)
{
    static const auto real = next<void (*)(QObject*, const QMetaObject*, int, void**)>(
        "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    release(&eventClock);
    real(sender, meta, signal, argv);
}

void tsanActivate3(QObject* sender, int offset, int signal, void** argv)
{
    static const auto real
        = next<void (*)(QObject*, int, int, void**)>("_ZN11QMetaObject8activateEP7QObjectiiPPv");
    release(&eventClock);
    real(sender, offset, signal, argv);
}

void tsanPostEvent(QObject* receiver, QEvent* event, int priority)
{
    static const auto real = next<void (*)(QObject*, QEvent*, int)>(
        "_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    release(&eventClock);
    real(receiver, event, priority);
}

bool tsanInvokeMethodImpl(
    QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type, void* ret)
{
    static const auto real
        = next<bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*)>(
            "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14Connec"
            "tionTypeEPv");
    release(&eventClock);
    const bool invoked = real(object, slot, type, ret);
    acquire(&eventClock);
    return invoked;
}

bool tsanInvokeMethod(QObject* object, const char* member, Qt::ConnectionType type,
    QGenericReturnArgument ret, QGenericArgument a0, QGenericArgument a1, QGenericArgument a2,
    QGenericArgument a3, QGenericArgument a4, QGenericArgument a5, QGenericArgument a6,
    QGenericArgument a7, QGenericArgument a8, QGenericArgument a9)
{
    using Real = bool (*)(QObject*, const char*, Qt::ConnectionType, QGenericReturnArgument,
        QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
        QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument);
    static const auto real
        = next<Real>("_ZN11QMetaObject12invokeMethodEP7QObjectPKcN2Qt14ConnectionTypeE"
                     "22QGenericReturnArgument16QGenericArgumentS7_S7_S7_S7_S7_S7_S7_S7_S7_");
    release(&eventClock);
    const bool invoked = real(object, member, type, ret, a0, a1, a2, a3, a4, a5, a6, a7, a8, a9);
    acquire(&eventClock);
    return invoked;
}

void tsanDeleteLater(QObject* object)
{
    static const auto real = next<void (*)(QObject*)>("_ZN7QObject11deleteLaterEv");
    release(&eventClock);
    real(object);
}
