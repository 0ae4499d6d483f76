// What a PCDSessionHandle holds; shared by the flat interface and its tests only.
#ifndef QEM_PCD_SESSION_PCD_FLAT_INTERNAL_H_
#define QEM_PCD_SESSION_PCD_FLAT_INTERNAL_H_

#include <memory>

#include "pcd/session/pcd_flat.h"
#include "pcd/session/pcd_session.h"

struct PCDSessionHandleRecord {
  std::unique_ptr<PCDSession> session;  // never null
};

#endif  // QEM_PCD_SESSION_PCD_FLAT_INTERNAL_H_
