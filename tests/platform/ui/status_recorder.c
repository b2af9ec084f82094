/* Preloaded into the program by the dialog tests (LD_PRELOAD): every text that the progress
 * window's status line is given is appended, one per line, to the file QUARNEL_STATUS_RECORD
 * names, and the call goes on to GTK unchanged. A label's text cannot be read from outside the
 * process, and most statuses show only for a moment. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct _GtkLabel GtkLabel;

void gtk_label_set_text(GtkLabel* label, const char* text) {
    static void (*next)(GtkLabel*, const char*);
    static const char* (*nameOf)(void*);
    if (next == NULL) {
        /* POSIX's way to take a function from dlsym without converting an object pointer. */
        *(void**)&next = dlsym(RTLD_NEXT, "gtk_label_set_text");
        *(void**)&nameOf = dlsym(RTLD_DEFAULT, "gtk_widget_get_name");
    }
    const char* record = getenv("QUARNEL_STATUS_RECORD");
    if (record != NULL && nameOf != NULL && strcmp(nameOf(label), "status") == 0) {
        FILE* file = fopen(record, "a");
        if (file != NULL) {
            fprintf(file, "%s\n", text);
            fclose(file);
        }
    }
    next(label, text);
}
