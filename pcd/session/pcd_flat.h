// The database library's flat interface: the cache database of the product configuration
// database, opened, read by domain number, sub-domain and key, flushed and closed. Every
// function returns a PCDStatus code (pcd/session/pcd_session.h) and lets no exception out.
#ifndef QEM_PCD_SESSION_PCD_FLAT_H_
#define QEM_PCD_SESSION_PCD_FLAT_H_

typedef struct PCDSessionHandleRecord* PCDSessionHandle;

extern "C" {

// Opens the cache database, creating its folders and file when missing and bringing it to
// its current version. 0 and a new handle in `*out`; on failure a code and `*out` null.
// A null `out` gives 10.
int PCDOpenCacheSession(PCDSessionHandle* out);

// Reads the value stored for (domain, subDomain, key). 0 and the text in `*value`; 8 and a
// null `*value` when there is no such row; a row whose value is NULL reads as an empty text.
// The text belongs to the handle and stays valid until PCDCloseSession; do not free it.
// Null arguments give 10.
int PCDGetDomainValue(PCDSessionHandle handle, int domain, const char* subDomain,
                      const char* key, const char** value);

// Commits the session's open write transaction and forces the file to disk. 0 when the
// session is not open. A null handle gives 10.
int PCDFlushSession(PCDSessionHandle handle);

// Flushes, closes and releases the handle (also when something fails). The result is the
// close's code, or, when the close succeeded but the final commit failed, the commit's code:
// the writes of that transaction are lost, and the caller must hear of it. A null handle
// gives 10.
int PCDCloseSession(PCDSessionHandle handle);

}  // extern "C"

#endif  // QEM_PCD_SESSION_PCD_FLAT_H_
