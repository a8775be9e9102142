// Accounted view calls for library code: each source file defines ZT_MODULE
// ("mime", "base64", "qp", "uucode", "encode") before including this header,
// so that every view it makes or releases is counted against its module.
#pragma once

#include "ztview.h"

#ifndef ZT_MODULE
#error "define ZT_MODULE before including common/module.h"
#endif

#define zt_view_new() _ztview_init(ZT_MODULE, __LINE__)
#define zt_view_free(v) _ztview_destroy((v), ZT_MODULE, __LINE__)
#define zt_view_from_buf(p, n) _ztview_from_buf((p), (n), 1, ZT_MODULE, __LINE__)
#define zt_view_move(d, s, n) _ztview_move((d), (s), (n), ZT_MODULE, __LINE__)
#define zt_view_cut(s, d, n) _ztview_cut((s), (d), (n), ZT_MODULE, __LINE__)
#define zt_view_dup_front(s, d, n) _ztview_duplicate_front((s), (d), (n), ZT_MODULE, __LINE__)
#define zt_view_skip_until(v, d, set) _ztview_skip_until((v), (d), (set), ZT_MODULE, __LINE__)
