// kavwin: a Motif window that plots the live bandwidth reported by a tap
// running as a traffic server (kavtap -R).
#ifndef KAVWIN_H
#define KAVWIN_H

#include <Xm/Xm.h>

#include <cstdint>

#define KW_TITLE "Velmora: Visual Bandwidth Monitor"
#define KW_CLASS "Kavwin"
#define KW_DEF_PORT 19681
#define KW_DEF_GEOMETRY "800x500+5+5"
#define KW_STEP 5          // pixels between two points of the graph
#define KW_FIRST_WAIT 1300 // ms without data before the first zero point
#define KW_IDLE_WAIT 1000  // ms between zero points while idle

struct kw_resources {
  XFontStruct *font;
  XmFontList fontlist;
  String geometry;
  int x, y;
  unsigned int width, height;
  Boolean auto_start;  // press Start as soon as the window is up
};

struct kw_control {
  XtAppContext app;
  Display *dpy;
  Screen *screen;
  Colormap cmap;
  Widget toplevel, form, interface_txt, filter_txt, maxbw_txt, packets_txt, bytes_txt, graph, error_dlg;
  Widget start_btn, stop_btn, note;
  GC gc;
  int sock;              // -1 when not connected
  XtInputId input;       // 0 when none
  XtIntervalId timeout;  // 0 when none
  int width, height;     // plot area: width a multiple of KW_STEP
  uint64_t maxbw;        // bits per second
  int *ring;             // width / KW_STEP y coordinates
  int nring, start, next;
  int drawn_from, ndrawn;  // what the graph shows, for redrawing on exposure
  uint64_t packets, bytes;
  int yadjust;            // -y: text-box height adjustment
  unsigned char rec[8];   // the interval record being received
  int have;
  int input_error;        // the dialog shows refused input, not a failed connection
  int connecting;         // the connection is on its way; `input` waits for it
  char *filter;           // what to send once connected (XtMalloc'd)
  char peer[16];          // dotted address and port being connected to
  int peer_port;
};

extern kw_control kwctl;
extern kw_resources kwres;

// Builds the window from the command line; exits with the program's
// statuses on bad switches or failed set-up. Does not realise it.
void kw_build(int *argc, char **argv);
void kw_realize();

// Pure helpers, also used by the tests.
// "host[:port]" split at the first colon; 0 or 1 with the reason in tvl_usrmsg.
int kw_split_server(const char *text, char *host, size_t hostsize, int *port);
// Max Bandwidth field (Kbps) to bits per second; 0 or 1 with the reason.
int kw_parse_maxbw(const char *text, uint64_t *bps);
// The y coordinate of a rate, clipped at the top.
int kw_point(uint64_t bytes, int height, uint64_t maxbw);

// Actions of the window.
void kw_start();
void kw_stop();
void kw_error_ok();
void kw_plot(uint64_t bytes, uint64_t packets);
void kw_show_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
