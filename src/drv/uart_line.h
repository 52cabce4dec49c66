/* Raw byte mode of a regulator UART line: no output processing, no line
 * editing or echo, reads return from the first byte. */
#ifndef KMX_UART_LINE_H
#define KMX_UART_LINE_H

#include <termios.h>

static inline void uart_line_raw(struct termios *opt) {
    opt->c_oflag &= ~(tcflag_t)OPOST;
    opt->c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHOE | ISIG);
    opt->c_cc[VTIME] = 1;
    opt->c_cc[VMIN] = 1;
}

#endif
