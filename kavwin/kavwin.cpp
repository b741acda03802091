// kavwin: the window, its layout and its actions. The connection to the
// traffic server is a plain TCP socket watched as an Xt input source.
#include "kavwin.h"

#include <Xm/CascadeB.h>
#include <Xm/DrawingA.h>
#include <Xm/Form.h>
#include <Xm/Label.h>
#include <Xm/MessageB.h>
#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/Text.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <rpc/xdr.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tova.h"

kw_control kwctl;
kw_resources kwres;

namespace {

const int kMargin = 5;
const int kTextPad = 22;  // XmText margins, shadows and highlight, both sides
const char *const kWidestNumber = "1000000000";
const char *const kWidestTotal = "18446744073709551615";
const char *const kWidestNote = "Time axis spans 99999 secs";

int help_wanted;

XrmOptionDescRec options[] = {
    {const_cast<char *>("-geom"), const_cast<char *>(".geometry"), XrmoptionSepArg, nullptr},
    {const_cast<char *>("-fn"), const_cast<char *>("*font"), XrmoptionSepArg, nullptr},
};

XtResource resources[] = {
    {const_cast<char *>("font"), const_cast<char *>("Font"), XtRFontStruct, sizeof(XFontStruct *),
     XtOffsetOf(kw_resources, font), XtRString, const_cast<char *>(XtDefaultFont)},
    {const_cast<char *>("geometry"), const_cast<char *>("Geometry"), XtRString, sizeof(String),
     XtOffsetOf(kw_resources, geometry), XtRString, const_cast<char *>(KW_DEF_GEOMETRY)},
    {const_cast<char *>("autoStart"), const_cast<char *>("AutoStart"), XtRBoolean, sizeof(Boolean),
     XtOffsetOf(kw_resources, auto_start), XtRImmediate, reinterpret_cast<XtPointer>(False)},
};

void print_usage() {
  const char *prog = tvl_prognam ? tvl_prognam : "kavwin";
  std::printf("\n%s, %s\n", KW_TITLE, KW_VERSION);
  std::printf("USAGE:\n");
  std::printf("%s [generic X11 args] [-%c pixels]\n", prog, 'y');
  std::printf("%s -%c\n", prog, 'h');
  std::printf("\n");
  std::printf("  -%c: Display this usage synopsis.\n", 'h');
  std::printf("  -%c: Fine tune height of text boxes (+ or -)\n", 'y');
  std::printf("\n");
  std::fflush(stdout);
}

// A signed decimal of at most 6 digits: enough for any screen.
int signed_pixels(const char *text, int *value) {
  if (!text) return 1;
  const char *d = (text[0] == '+' || text[0] == '-') ? text + 1 : text;
  if (d[0] == '\0' || !isdecstr(d) || std::strlen(d) > 6) return 1;
  *value = static_cast<int>(std::strtol(text, nullptr, 10));
  return 0;
}

int do_cmdline_opt(_tvl_cmdlin_ctrl *ctrl, int is_switch, int c, const char *text) {
  if (!is_switch) {
    tvl_msglog("do_cmdline_opt: got illegal parameter %d=(%s)", c, text ? text : "");
    std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "APPLICATION ERROR");
    return 1;
  }
  switch (c) {
    case 'h':
      help_wanted = 1;
      ctrl->stop = 1;
      return 0;
    case 'y':
      if (signed_pixels(text, &kwctl.yadjust) != 0) {
        std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s' - non-numeric argument", c,
                      text ? text : "");
        return 1;
      }
      return 0;
    default:
      break;
  }
  tvl_msglog("do_cmdline_opt: got illegal switch=%d (%c)", c, c);
  std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "APPLICATION ERROR");
  return 1;
}

int text_width(const char *s) { return XTextWidth(kwres.font, s, static_cast<int>(std::strlen(s))); }

// Places a child of a form at a fixed spot with a fixed size.
void place(Widget w, int x, int y, int width, int height) {
  XtVaSetValues(w, XmNleftAttachment, XmATTACH_FORM, XmNleftOffset, x, XmNtopAttachment, XmATTACH_FORM,
                XmNtopOffset, y, XmNwidth, width > 1 ? width : 1, XmNheight, height > 1 ? height : 1, nullptr);
}

void set_colour(Widget w, const char *resource, const char *colour) {
  XtVaSetValues(w, XtVaTypedArg, resource, XtRString, colour, static_cast<int>(std::strlen(colour) + 1), nullptr);
}

// A red form holding a label and a one-line text field.
Widget labelled_field(const char *name, const char *label, int x, int y, int width, int height, int label_width,
                      int editable) {
  Widget f = XtVaCreateManagedWidget(name, xmFormWidgetClass, kwctl.form, XmNresizePolicy, XmRESIZE_NONE,
                                     XtVaTypedArg, XmNbackground, XtRString, "red", 4, nullptr);
  place(f, x, y, width, height);
  char lname[64], tname[64];
  std::snprintf(lname, sizeof lname, "%s-Label", name);
  std::snprintf(tname, sizeof tname, "%s-Text", name);
  XmString xs = XmStringCreateLocalized(const_cast<char *>(label));
  Widget l = XtVaCreateManagedWidget(lname, xmLabelWidgetClass, f, XmNlabelString, xs, XmNfontList, kwres.fontlist,
                                     XmNalignment, XmALIGNMENT_BEGINNING, XtVaTypedArg, XmNbackground, XtRString,
                                     "red", 4, nullptr);
  XmStringFree(xs);
  place(l, kMargin, kMargin, label_width, height - 2 * kMargin);
  Widget t = XtVaCreateManagedWidget(tname, xmTextWidgetClass, f, XmNfontList, kwres.fontlist, XmNeditMode,
                                     XmSINGLE_LINE_EDIT, XmNeditable, editable ? True : False,
                                     XmNcursorPositionVisible, editable ? True : False, XmNmarginHeight, 2, nullptr);
  int tx = 2 * kMargin + label_width;
  place(t, tx, kMargin, width - tx - kMargin, height - 2 * kMargin);
  return t;
}

Widget button(const char *name, const char *colour, int x, int y, int width, int height, XtCallbackProc cb) {
  XmString xs = XmStringCreateLocalized(const_cast<char *>(name));
  Widget b = XtVaCreateManagedWidget(name, xmPushButtonWidgetClass, kwctl.form, XmNlabelString, xs, XmNfontList,
                                     kwres.fontlist, nullptr);
  XmStringFree(xs);
  set_colour(b, XmNbackground, colour);
  place(b, x, y, width, height);
  XtAddCallback(b, XmNactivateCallback, cb, nullptr);
  return b;
}

void quit_cb(Widget, XtPointer, XtPointer) { std::exit(0); }
void start_cb(Widget, XtPointer, XtPointer) { kw_start(); }
void stop_cb(Widget, XtPointer, XtPointer) { kw_stop(); }
void ok_cb(Widget, XtPointer, XtPointer) { kw_error_ok(); }
void auto_start_cb(XtPointer, XtIntervalId *) { kw_start(); }

void redraw() {
  if (!kwctl.graph || !XtIsRealized(kwctl.graph)) return;
  Window win = XtWindow(kwctl.graph);
  XClearWindow(kwctl.dpy, win);
  if (!kwctl.gc || kwctl.ndrawn == 0) return;
  int i = kwctl.drawn_from;
  int prev = kwctl.ring[i];
  if (kwctl.ndrawn == 1) XDrawPoint(kwctl.dpy, win, kwctl.gc, 0, prev);
  for (int k = 1; k < kwctl.ndrawn; k++) {
    i = (i + 1) % kwctl.nring;
    XDrawLine(kwctl.dpy, win, kwctl.gc, (k - 1) * KW_STEP, prev, k * KW_STEP, kwctl.ring[i]);
    prev = kwctl.ring[i];
  }
}

void expose_cb(Widget, XtPointer, XtPointer) { redraw(); }

void cancel_timeout() {
  if (kwctl.timeout) XtRemoveTimeOut(kwctl.timeout);
  kwctl.timeout = 0;
}

void remove_input() {
  if (kwctl.input) XtRemoveInput(kwctl.input);
  kwctl.input = 0;
}

void idle_cb(XtPointer, XtIntervalId *) {
  kwctl.timeout = XtAppAddTimeOut(kwctl.app, KW_IDLE_WAIT, idle_cb, nullptr);
  kw_plot(0, 0);
}

uint32_t be32(const unsigned char *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Takes what has arrived of the current record; a record split across
// several segments is put together over several calls, so a slow server
// never freezes the window.
void data_cb(XtPointer, int *, XtInputId *) {
  cancel_timeout();
  kwctl.timeout = XtAppAddTimeOut(kwctl.app, KW_FIRST_WAIT, idle_cb, nullptr);
  ssize_t n;
  do {
    errno = 0;
    n = read(kwctl.sock, kwctl.rec + kwctl.have, sizeof kwctl.rec - static_cast<size_t>(kwctl.have));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    int e = n == 0 ? 0 : errno;
    remove_input();
    // A dead connection is not an idle link: no more zero points.
    cancel_timeout();
    kw_show_error("Lost connection with traffic server (errno=%d)", e);
    return;
  }
  kwctl.have += static_cast<int>(n);
  if (kwctl.have < static_cast<int>(sizeof kwctl.rec)) return;
  kwctl.have = 0;
  kw_plot(be32(kwctl.rec), be32(kwctl.rec + 4));
}

void set_total(Widget w, uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(v));
  XmTextSetString(w, buf);
}

void disconnect() {
  if (kwctl.sock >= 0) close(kwctl.sock);
  kwctl.sock = -1;
  cancel_timeout();
  remove_input();
  kwctl.have = 0;
  kwctl.connecting = 0;
  XtFree(kwctl.filter);
  kwctl.filter = nullptr;
}

// Sends the filter as one XDR string through an unbuffered stream on a
// duplicate of the socket, so that closing the stream leaves the socket.
int send_filter(const char *filter) {
  int dupfd = dup(kwctl.sock);
  if (dupfd < 0) {
    kw_show_error("Failed to create XDR channel (errno=%d)", errno);
    return 1;
  }
  FILE *out = fdopen(dupfd, "w");
  if (!out) {
    int e = errno;
    close(dupfd);
    kw_show_error("Failed to open Write stream on socket (errno=%d)", e);
    return 1;
  }
  std::setvbuf(out, nullptr, _IONBF, 0);
  XDR xdrs;
  xdrstdio_create(&xdrs, out, XDR_ENCODE);
  char *text = const_cast<char *>(filter);
  int ok = xdr_wrapstring(&xdrs, &text);
  xdr_destroy(&xdrs);
  if (std::fclose(out) != 0) ok = 0;
  if (!ok) {
    kw_show_error("Failed to send XDR-encoded filter expression");
    return 1;
  }
  return 0;
}

// The connection is up: the filter goes out, and the graph starts afresh.
void connected() {
  kwctl.connecting = 0;
  int flags = fcntl(kwctl.sock, F_GETFL);
  if (flags >= 0) fcntl(kwctl.sock, F_SETFL, flags & ~O_NONBLOCK);
  int rc = send_filter(kwctl.filter ? kwctl.filter : "");
  XtFree(kwctl.filter);
  kwctl.filter = nullptr;
  if (rc != 0) return;
  kwctl.start = kwctl.next = 0;
  kwctl.ndrawn = 0;
  kwctl.packets = kwctl.bytes = 0;
  kwctl.have = 0;
  set_total(kwctl.packets_txt, 0);
  set_total(kwctl.bytes_txt, 0);
  if (XtIsRealized(kwctl.graph)) XClearWindow(kwctl.dpy, XtWindow(kwctl.graph));
  kwctl.gc = DefaultGC(kwctl.dpy, DefaultScreen(kwctl.dpy));
  kwctl.input =
      XtAppAddInput(kwctl.app, kwctl.sock, reinterpret_cast<XtPointer>(XtInputReadMask), data_cb, nullptr);
  kwctl.timeout = XtAppAddTimeOut(kwctl.app, KW_FIRST_WAIT, idle_cb, nullptr);
}

void connect_failed(int e) {
  kwctl.connecting = 0;
  XtFree(kwctl.filter);
  kwctl.filter = nullptr;
  kw_show_error("Failed to connect to %s:%d (errno=%d)", kwctl.peer, kwctl.peer_port, e);
}

// The socket became writable: the connection attempt has ended one way or
// the other.
void connect_cb(XtPointer, int *, XtInputId *) {
  remove_input();
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(kwctl.sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
  if (err != 0)
    connect_failed(err);
  else
    connected();
}

}  // namespace

int kw_split_server(const char *text, char *host, size_t hostsize, int *port) {
  // Blanks around the entry are a typing accident, not part of a name.
  char entry[300];
  std::snprintf(entry, sizeof entry, "%s", text);
  stripl(entry, 0);
  stript(entry, 0);
  const char *colon = std::strchr(entry, ':');
  size_t hlen = colon ? static_cast<size_t>(colon - entry) : std::strlen(entry);
  *port = KW_DEF_PORT;
  if (colon) {
    const char *p = colon + 1;
    long v = (p[0] != '\0' && isdecstr(p) && std::strlen(p) <= 5) ? std::strtol(p, nullptr, 10) : 0;
    if (v < 1 || v > 65535) {
      std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Not a valid port number [%s]", p);
      return 1;
    }
    *port = static_cast<int>(v);
  }
  if (hlen >= hostsize) hlen = hostsize - 1;
  std::memcpy(host, entry, hlen);
  host[hlen] = '\0';
  return 0;
}

int kw_parse_maxbw(const char *text, uint64_t *bps) {
  char digits[64];
  if (std::strlen(text) < sizeof digits) {
    std::snprintf(digits, sizeof digits, "%s", text);
    stripl(digits, 0);
    stript(digits, 0);
    if (digits[0] != '\0' && std::strlen(digits) <= 10 && isdecstr(digits)) {
      uint64_t v = std::strtoull(digits, nullptr, 10);
      if (v > 0 && v <= 1000000000ull) {
        *bps = v * 1000;
        return 0;
      }
    }
  }
  std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg,
                "Max Bandwidth must be a whole number of Kbps from 1 to %s, not [%s]", kWidestNumber, text);
  return 1;
}

int kw_point(uint64_t bytes, int height, uint64_t maxbw) {
  uint64_t y = bytes * static_cast<uint64_t>(height) * 8 / maxbw;
  return y > static_cast<uint64_t>(height) ? 0 : height - static_cast<int>(y);
}

void kw_show_error(const char *fmt, ...) {
  char msg[1025];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  tvl_msglog("%s", msg);
  XmString xs = XmStringCreateLocalized(msg);
  XtVaSetValues(kwctl.error_dlg, XmNmessageString, xs, nullptr);
  XmStringFree(xs);
  XtManageChild(kwctl.error_dlg);
}

void kw_plot(uint64_t bytes, uint64_t packets) {
  kwctl.packets += packets;
  kwctl.bytes += bytes;
  kwctl.ring[kwctl.next] = kw_point(bytes, kwctl.height, kwctl.maxbw);
  kwctl.next = (kwctl.next + 1) % kwctl.nring;
  kwctl.drawn_from = kwctl.start;
  kwctl.ndrawn = kwctl.next == kwctl.start ? kwctl.nring : (kwctl.next - kwctl.start + kwctl.nring) % kwctl.nring;
  redraw();
  if (kwctl.next == kwctl.start) kwctl.start = (kwctl.start + 1) % kwctl.nring;
  set_total(kwctl.packets_txt, kwctl.packets);
  set_total(kwctl.bytes_txt, kwctl.bytes);
}

void kw_start() {
  // A second Start replaces the running connection instead of leaking it.
  if (kwctl.sock >= 0) disconnect();
  char *server = XmTextGetString(kwctl.interface_txt);
  char *filter = XmTextGetString(kwctl.filter_txt);
  char *maxbw = XmTextGetString(kwctl.maxbw_txt);
  char host[256];
  int port = KW_DEF_PORT;
  kwctl.input_error = 0;
  do {
    uint64_t bps = 0;
    if (kw_parse_maxbw(maxbw, &bps) != 0 || kw_split_server(server, host, sizeof host, &port) != 0) {
      kwctl.input_error = 1;
      kw_show_error("%s", tvl_usrmsg);
      break;
    }
    kwctl.maxbw = bps;
    kwctl.sock = socket(AF_INET, SOCK_STREAM, 0);
    if (kwctl.sock < 0) {
      kw_show_error("Failed to create socket (errno=%d)", errno);
      break;
    }
    unsigned int addr = 0;
    if (tinet_str2ipaddr(host, &addr) != 0) {
      kw_show_error("Not a valid IP address or hostname [%s]", host);
      break;
    }
    struct sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = addr;
    inet_ntop(AF_INET, &sa.sin_addr, kwctl.peer, sizeof kwctl.peer);
    kwctl.peer_port = port;
    kwctl.filter = XtNewString(filter);
    // Connect in the background: an address that never answers must not
    // freeze the window (Stop abandons the attempt).
    int flags = fcntl(kwctl.sock, F_GETFL);
    if (flags >= 0) fcntl(kwctl.sock, F_SETFL, flags | O_NONBLOCK);
    kwctl.connecting = 1;
    if (connect(kwctl.sock, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0) {
      connected();
    } else if (errno == EINPROGRESS || errno == EINTR) {
      kwctl.input =
          XtAppAddInput(kwctl.app, kwctl.sock, reinterpret_cast<XtPointer>(XtInputWriteMask), connect_cb, nullptr);
    } else {
      connect_failed(errno);
    }
  } while (0);
  XtFree(server);
  XtFree(filter);
  XtFree(maxbw);
}

void kw_stop() { disconnect(); }

void kw_error_ok() {
  XtUnmanageChild(kwctl.error_dlg);
  if (kwctl.sock >= 0) {
    disconnect();
    return;
  }
  // A refused entry only asks for a correction; anything else with no
  // connection left ends the program.
  if (kwctl.input_error) {
    kwctl.input_error = 0;
    return;
  }
  std::exit(0);
}

void kw_build(int *argc, char **argv) {
  kwctl.sock = -1;
  kwctl.toplevel = XtOpenApplication(&kwctl.app, const_cast<char *>(KW_CLASS), options, XtNumber(options), argc,
                                     argv, nullptr, applicationShellWidgetClass, nullptr, 0);
  kwctl.dpy = XtDisplay(kwctl.toplevel);
  kwctl.screen = XtScreen(kwctl.toplevel);
  kwctl.cmap = DefaultColormapOfScreen(kwctl.screen);

  char optstr[8];
  std::snprintf(optstr, sizeof optstr, "%c%c:", 'h', 'y');
  _tvl_cmdlin_ctrl cl{.opts = optstr, .callback = do_cmdline_opt, .user = &kwctl};
  if (tvl_cmdlin(*argc, argv, &cl) != 0) {
    tvl_cmdlin_refused('h', "");
    std::exit(99);
  }
  if (help_wanted) {
    print_usage();
    std::exit(0);
  }
  tvl_init_ctrl ic;
  std::memset(&ic, 0, sizeof ic);
  if (tvl_init(&ic) != 0) {
    std::fprintf(stderr, "Initialisation failed - %s\n", tvl_usrmsg);
    std::exit(1);
  }

  // Resources, font and geometry.
  XtGetApplicationResources(kwctl.toplevel, &kwres, resources, XtNumber(resources), nullptr, 0);
  XmFontListEntry entry = XmFontListEntryCreate(const_cast<char *>(XmFONTLIST_DEFAULT_TAG), XmFONT_IS_FONT, kwres.font);
  kwres.fontlist = XmFontListAppendEntry(nullptr, entry);
  XmFontListEntryFree(&entry);  // the list holds its own copy
  int gx = 0, gy = 0;
  unsigned int gw = 0, gh = 0;
  XParseGeometry(KW_DEF_GEOMETRY, &gx, &gy, &gw, &gh);
  kwres.x = gx;
  kwres.y = gy;
  kwres.width = gw;
  kwres.height = gh;
  int x = 0, y = 0;
  unsigned int w = 0, h = 0;
  int flags = XParseGeometry(kwres.geometry ? kwres.geometry : KW_DEF_GEOMETRY, &x, &y, &w, &h);
  if ((flags & WidthValue) && w > 0) kwres.width = w;
  if ((flags & HeightValue) && h > 0) kwres.height = h;
  if (flags & XValue)
    kwres.x = (flags & XNegative) ? WidthOfScreen(kwctl.screen) - static_cast<int>(kwres.width) + x : x;
  if (flags & YValue)
    kwres.y = (flags & YNegative) ? HeightOfScreen(kwctl.screen) - static_cast<int>(kwres.height) + y : y;
  const int W = static_cast<int>(kwres.width), H = static_cast<int>(kwres.height);
  XtVaSetValues(kwctl.toplevel, XmNx, kwres.x, XmNy, kwres.y, XmNwidth, W, XmNheight, H, XmNallowShellResize,
                False, nullptr);

  // Main form, menu and error dialog.
  kwctl.form = XtVaCreateManagedWidget("Main-Form", xmFormWidgetClass, kwctl.toplevel, XmNwidth, W, XmNheight, H,
                                       XmNresizePolicy, XmRESIZE_NONE, nullptr);
  set_colour(kwctl.form, XmNbackground, "cyan");
  Widget menubar = XmCreateMenuBar(kwctl.form, const_cast<char *>("Main-Menu"), nullptr, 0);
  Widget pulldown = XmCreatePulldownMenu(menubar, const_cast<char *>("File-Menu"), nullptr, 0);
  XmString xs = XmStringCreateLocalized(const_cast<char *>("File"));
  XtVaCreateManagedWidget("File", xmCascadeButtonWidgetClass, menubar, XmNsubMenuId, pulldown, XmNlabelString, xs,
                          XmNfontList, kwres.fontlist, nullptr);
  XmStringFree(xs);
  xs = XmStringCreateLocalized(const_cast<char *>("Quit"));
  Widget quit = XtVaCreateManagedWidget("Quit", xmPushButtonWidgetClass, pulldown, XmNlabelString, xs, XmNfontList,
                                        kwres.fontlist, nullptr);
  XmStringFree(xs);
  XtAddCallback(quit, XmNactivateCallback, quit_cb, nullptr);
  // Modal: OK decides what happens to the connection, so nothing may start
  // a new one while the dialog is up.
  xs = XmStringCreateLocalized(const_cast<char *>("Error"));
  Arg dargs[2];
  XtSetArg(dargs[0], XmNdialogStyle, XmDIALOG_FULL_APPLICATION_MODAL);
  XtSetArg(dargs[1], XmNdialogTitle, xs);
  kwctl.error_dlg = XmCreateErrorDialog(kwctl.form, const_cast<char *>("Error"), dargs, 2);
  XmStringFree(xs);
  XtUnmanageChild(XmMessageBoxGetChild(kwctl.error_dlg, XmDIALOG_HELP_BUTTON));
  XtUnmanageChild(XmMessageBoxGetChild(kwctl.error_dlg, XmDIALOG_CANCEL_BUTTON));
  XtAddCallback(kwctl.error_dlg, XmNokCallback, ok_cb, nullptr);

  // Sizes measured with the font.
  const int fh = kwres.font->ascent + kwres.font->descent;
  int tbh = 3 * fh;
  if (kwctl.yadjust != 0) {
    int adjusted = tbh + kwctl.yadjust;
    if (adjusted < fh) adjusted = fh;  // a field must still hold one line
    std::printf("*** Varying text-box heights from %d to %d\n", tbh, adjusted);
    std::fflush(stdout);
    tbh = adjusted;
  }
  int label_w = text_width("Max Bandwidth (Kbps)");
  if (text_width("Packets") > label_w) label_w = text_width("Packets");
  if (text_width("Bytes") > label_w) label_w = text_width("Bytes");
  const int totals_w = 3 * kMargin + label_w + text_width(kWidestTotal) + kTextPad;
  const int maxbw_w = 3 * kMargin + label_w + text_width(kWidestNumber) + kTextPad;
  int left_w = totals_w > maxbw_w ? totals_w : maxbw_w;
  if (text_width(kWidestNote) + 2 * kMargin > left_w) left_w = text_width(kWidestNote) + 2 * kMargin;

  // Left column: the menu and totals from the top, the controls from the
  // bottom row upwards.
  const int menu_h = fh + 4 * kMargin;
  XtManageChild(menubar);
  place(menubar, 0, 0, left_w + kMargin, menu_h);
  const int row_y = H - kMargin - tbh;
  const int half = (W - 3 * kMargin) / 2;
  kwctl.interface_txt = labelled_field("Interface", "Interface", kMargin, row_y, half, tbh,
                                       text_width("Interface"), 1);
  kwctl.filter_txt =
      labelled_field("Filter", "Filter", 2 * kMargin + half, row_y, half, tbh, text_width("Filter"), 1);
  const int maxbw_y = row_y - kMargin - tbh;
  kwctl.maxbw_txt = labelled_field("Max-Bandwidth", "Max Bandwidth (Kbps)", kMargin, maxbw_y, left_w, tbh, label_w, 1);
  const int btn_y = maxbw_y - kMargin - tbh;
  const int btn_w = (left_w - kMargin) / 2;
  kwctl.start_btn = button("Start", "green", kMargin, btn_y, btn_w, tbh, start_cb);
  kwctl.stop_btn = button("Stop", "red", 2 * kMargin + btn_w, btn_y, btn_w, tbh, stop_cb);
  const int packets_y = menu_h + kMargin;
  kwctl.packets_txt = labelled_field("Packets", "Packets", kMargin, packets_y, left_w, tbh, label_w, 0);
  kwctl.bytes_txt = labelled_field("Bytes", "Bytes", kMargin, packets_y + tbh + kMargin, left_w, tbh, label_w, 0);
  char *v = XmTextGetString(kwctl.maxbw_txt);
  if (v[0] == '\0') XmTextSetString(kwctl.maxbw_txt, const_cast<char *>("10000"));
  XtFree(v);
  set_total(kwctl.packets_txt, 0);
  set_total(kwctl.bytes_txt, 0);

  // The graph fills the rest; one extra row below the plot height keeps
  // the zero line on screen.
  const int graph_x = kMargin + left_w + kMargin;
  const int border = 3;
  kwctl.width = ((W - graph_x - kMargin - 2 * border) / KW_STEP) * KW_STEP;
  kwctl.height = H - tbh - 15 - border;
  if (kwctl.width < KW_STEP) kwctl.width = KW_STEP;
  if (kwctl.height < 1) kwctl.height = 1;
  kwctl.graph = XtVaCreateManagedWidget("Graph", xmDrawingAreaWidgetClass, kwctl.form, XmNborderWidth, border,
                                        XmNresizePolicy, XmRESIZE_NONE, XmNmarginWidth, 0, XmNmarginHeight, 0,
                                        nullptr);
  set_colour(kwctl.graph, XmNbackground, "orange");
  set_colour(kwctl.graph, XmNforeground, "red");
  place(kwctl.graph, graph_x, 2, kwctl.width, kwctl.height + 1);
  XtAddCallback(kwctl.graph, XmNexposeCallback, expose_cb, nullptr);

  // The time-axis note under the totals.
  char note[64];
  std::snprintf(note, sizeof note, "Time axis spans %d secs", kwctl.width / KW_STEP);
  const int note_w = text_width(note) + 2 * kMargin;
  if (note_w > left_w) {
    std::fprintf(stderr, "Error sizing time-axis note (%d vs %d)\n", note_w, left_w);
    std::exit(1);
  }
  xs = XmStringCreateLocalized(note);
  kwctl.note = XtVaCreateManagedWidget("Time-Axis", xmLabelWidgetClass, kwctl.form, XmNlabelString, xs, XmNfontList,
                                       kwres.fontlist, nullptr);
  XmStringFree(xs);
  set_colour(kwctl.note, XmNbackground, "cyan");
  place(kwctl.note, kMargin, packets_y + 2 * (tbh + kMargin), left_w, fh + 2 * kMargin);

  kwctl.nring = kwctl.width / KW_STEP;
  kwctl.ring = static_cast<int *>(std::calloc(static_cast<size_t>(kwctl.nring), sizeof(int)));
  if (!kwctl.ring) {
    std::fprintf(stderr, "Failed to alloc graph memory (%ld)\n", static_cast<long>(kwctl.nring * sizeof(int)));
    std::exit(1);
  }
}

void kw_realize() {
  XtRealizeWidget(kwctl.toplevel);
  if (kwres.auto_start) XtAppAddTimeOut(kwctl.app, 0, auto_start_cb, nullptr);
}
