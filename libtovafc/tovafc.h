// The application framework: all public classes.
#ifndef TOVAFC_H
#define TOVAFC_H

#include "appshell.h"
#include "async_rcvr.h"
#include "async_rdr.h"
#include "asyncw.h"
#include "client_socket.h"
#include "config.h"
#include "evtmgr.h"
#include "exception.h"
#include "file.h"
#include "log.h"
#include "mutex.h"
#include "notifier.h"
#include "server_socket.h"
#include "socket.h"
#include "stdiobuf.h"
#include "timer.h"
#include "utils.h"

#endif
