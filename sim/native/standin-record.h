/*
 * How a native stand-in records its start: one JSON line in $HOME/.sandbox/records.jsonl with the
 * tool's name, the process's arguments and environment (read from /proc), like every stand-in.
 * End-to-end tests scan that file for secrets that must only ever travel on standard input.
 */
#ifndef STANDIN_RECORD_H
#define STANDIN_RECORD_H

#include <stdbool.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void json_string(FILE *out, const char *text, size_t length)
{
    fputc('"', out);
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == '"' || c == '\\')
            fprintf(out, "\\%c", c);
        else if (c < 0x20)
            fprintf(out, "\\u%04x", c);
        else
            fputc(c, out);
    }
    fputc('"', out);
}

/* Reads a whole file; returns a malloc'd buffer and its length, or NULL. */
static char *read_whole(const char *name, size_t *length)
{
    FILE *in = fopen(name, "rb");
    *length = 0;
    if (!in)
        return NULL;
    size_t capacity = 4096;
    char *data = malloc(capacity);
    size_t n;
    while (data && (n = fread(data + *length, 1, capacity - *length, in)) > 0) {
        *length += n;
        if (*length == capacity) {
            char *bigger = realloc(data, capacity * 2);
            if (!bigger) {
                free(data);
                data = NULL;
                break;
            }
            data = bigger;
            capacity *= 2;
        }
    }
    fclose(in);
    return data;
}

/* The grant's flag file, $HOME/.sandbox/grants/NAME, which the services keep in step. */
static bool standin_granted(const char *home, const char *name)
{
    char flag[4096];
    snprintf(flag, sizeof flag, "%s/.sandbox/grants/%s", home, name);
    return access(flag, F_OK) == 0;
}

/* extra: more members of the record, each starting with a comma, or "". */
static void standin_record(const char *home, const char *tool, const char *extra)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/.sandbox/records.jsonl", home);
    FILE *out = fopen(path, "a");
    if (!out)
        return; /* a sandbox without its state directory still runs; it just keeps no record */
    time_t now = time(NULL);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
    fprintf(out, "{\"time\":\"%s\",\"tool\":", stamp);
    json_string(out, tool, strlen(tool));
    fprintf(out, ",\"pid\":%d,\"ppid\":%d%s,\"argv\":[", (int)getpid(), (int)getppid(), extra);
    size_t length;
    char *argv = read_whole("/proc/self/cmdline", &length);
    bool firstArg = true;
    for (size_t start = 0, i = 0; argv && i < length; i++) {
        if (argv[i] != '\0')
            continue;
        if (!firstArg)
            fputc(',', out);
        firstArg = false;
        json_string(out, argv + start, i - start);
        start = i + 1;
    }
    free(argv);
    fputs("],\"cwd\":", out);
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd))
        json_string(out, cwd, strlen(cwd));
    else
        fputs("null", out);
    fputs(",\"env\":{", out);
    char *env = read_whole("/proc/self/environ", &length);
    bool first = true;
    for (size_t start = 0, i = 0; env && i < length; i++) {
        if (env[i] != '\0')
            continue;
        const char *entry = env + start;
        const char *eq = memchr(entry, '=', i - start);
        if (eq) {
            if (!first)
                fputc(',', out);
            first = false;
            json_string(out, entry, (size_t)(eq - entry));
            fputc(':', out);
            json_string(out, eq + 1, (size_t)(env + i - eq - 1));
        }
        start = i + 1;
    }
    free(env);
    fputs("}}\n", out);
    fclose(out);
}

#endif
