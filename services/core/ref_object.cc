#include "services/core/ref_object.h"

#include "services/core/service_loader.h"

QemLock::QemLock() : mutex_(std::make_unique<platform::RecursiveMutex>()) {}

QemLock::~QemLock() {
  // A release that destroys its object does so with the object's lock still taken.
  if (held_) Unlock();
}

void QemLock::Lock() {
  mutex_->Lock();
  held_ = true;
}

void QemLock::Unlock() {
  held_ = false;
  mutex_->Unlock();
}

QemRefObject::QemRefObject() : count_(0) {
  lock_.Lock();
  count_ = 1;
  lock_.Unlock();
}

QemRefObject::~QemRefObject() = default;

QemRefObject* QemRefObject::Retain() {
  lock_.Lock();
  ++count_;
  lock_.Unlock();
  return this;
}

void QemRefObject::Release() {
  lock_.Lock();
  if (--count_ > 0) {
    lock_.Unlock();
    return;
  }
  delete this;
}

int32_t QemRefObject::RefCount() {
  lock_.Lock();
  const int32_t count = count_;
  lock_.Unlock();
  return count;
}

_QemService::_QemService() : loader_(QemServiceLoader::Get()) {}
