/*
 * Sandbox stand-in for the agent's accessibility-prompt.node module: a real Node-API addon whose
 * trusted(prompt) answers with the sandbox's accessibility grant for node, the flag file
 * $HOME/.sandbox/grants/accessibility.node. Each call is recorded in $HOME/.sandbox/records.jsonl
 * with the process's arguments and environment (read from /proc), like every other stand-in.
 *
 * The few Node-API entry points it needs are declared here, so that no headers are required:
 * the ABI of these functions is stable across Node versions.
 */
#include <stdbool.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef struct napi_env__ *napi_env;
typedef struct napi_value__ *napi_value;
typedef struct napi_callback_info__ *napi_callback_info;
typedef int napi_status;
typedef napi_value (*napi_callback)(napi_env, napi_callback_info);

napi_status napi_create_function(napi_env, const char *, size_t, napi_callback, void *, napi_value *);
napi_status napi_set_named_property(napi_env, napi_value, const char *, napi_value);
napi_status napi_get_boolean(napi_env, bool, napi_value *);
napi_status napi_get_cb_info(napi_env, napi_callback_info, size_t *, napi_value *, napi_value *, void **);
napi_status napi_get_value_bool(napi_env, napi_value, bool *);

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

/* Reads a NUL-separated /proc file; returns a malloc'd buffer and its length. */
static char *read_proc(const char *name, size_t *length)
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

static void record(const char *home, bool prompt, bool granted)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/.sandbox/records.jsonl", home);
    FILE *out = fopen(path, "a");
    if (!out)
        return;
    time_t now = time(NULL);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
    fprintf(out, "{\"time\":\"%s\",\"tool\":\"accessibility-prompt.node\",\"pid\":%d,\"prompt\":%s,\"granted\":%s,\"argv\":[",
            stamp, (int)getpid(), prompt ? "true" : "false", granted ? "true" : "false");
    size_t length;
    char *argv = read_proc("/proc/self/cmdline", &length);
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
    fputs("],\"env\":{", out);
    char *env = read_proc("/proc/self/environ", &length);
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

static napi_value trusted(napi_env env, napi_callback_info info)
{
    size_t argc = 1;
    napi_value argv[1];
    bool prompt = false;
    if (napi_get_cb_info(env, info, &argc, argv, NULL, NULL) == 0 && argc >= 1)
        napi_get_value_bool(env, argv[0], &prompt);

    const char *home = getenv("HOME");
    bool granted = false;
    if (home) {
        char flag[4096];
        snprintf(flag, sizeof flag, "%s/.sandbox/grants/accessibility.node", home);
        granted = access(flag, F_OK) == 0;
        record(home, prompt, granted);
    }
    napi_value result;
    napi_get_boolean(env, granted, &result);
    return result;
}

__attribute__((visibility("default"))) napi_value napi_register_module_v1(napi_env env, napi_value exports)
{
    napi_value fn;
    napi_create_function(env, "trusted", (size_t)-1, trusted, NULL, &fn);
    napi_set_named_property(env, exports, "trusted", fn);
    return exports;
}

__attribute__((visibility("default"))) int node_api_module_get_api_version_v1(void)
{
    return 8;
}
