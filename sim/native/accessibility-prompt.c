/*
 * Sandbox stand-in for the agent's accessibility-prompt.node module: a real Node-API addon whose
 * trusted(prompt) answers with the sandbox's accessibility grant for node, the flag file
 * $HOME/.sandbox/grants/accessibility.node. Each call is recorded like every other stand-in's start.
 *
 * The few Node-API entry points it needs are declared here, so that no headers are required:
 * the ABI of these functions is stable across Node versions.
 */
#include "standin-record.h"

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
        granted = standin_granted(home, "accessibility.node");
        char extra[64];
        snprintf(extra, sizeof extra, ",\"prompt\":%s,\"granted\":%s", prompt ? "true" : "false",
                 granted ? "true" : "false");
        standin_record(home, "accessibility-prompt.node", extra);
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
