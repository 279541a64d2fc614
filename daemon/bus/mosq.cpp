#include "mosq.h"

#include <cstdio>
#include <mutex>

#include <dlfcn.h>

namespace {

// Sets fn to the library's symbol name; false when there is none.
template <typename F>
bool take(void *lib, F &fn, const char *name)
{
	fn = reinterpret_cast<F>(dlsym(lib, name));
	return fn != nullptr;
}

bool take_mosquitto(void *lib, Mosq &m)
{
	return take(lib, m.lib_init, "mosquitto_lib_init") && take(lib, m.new_client, "mosquitto_new") &&
	       take(lib, m.destroy, "mosquitto_destroy") && take(lib, m.threaded_set, "mosquitto_threaded_set") &&
	       take(lib, m.will_set, "mosquitto_will_set") &&
	       take(lib, m.username_pw_set, "mosquitto_username_pw_set") &&
	       take(lib, m.tls_set, "mosquitto_tls_set") &&
	       take(lib, m.connect_callback_set, "mosquitto_connect_callback_set") &&
	       take(lib, m.disconnect_callback_set, "mosquitto_disconnect_callback_set") &&
	       take(lib, m.publish_callback_set, "mosquitto_publish_callback_set") &&
	       take(lib, m.message_callback_set, "mosquitto_message_callback_set") &&
	       take(lib, m.log_callback_set, "mosquitto_log_callback_set") &&
	       take(lib, m.connect_async, "mosquitto_connect_async") &&
	       take(lib, m.disconnect, "mosquitto_disconnect") && take(lib, m.loop, "mosquitto_loop") &&
	       take(lib, m.socket, "mosquitto_socket") && take(lib, m.publish, "mosquitto_publish") &&
	       take(lib, m.subscribe, "mosquitto_subscribe") && take(lib, m.strerror, "mosquitto_strerror") &&
	       take(lib, m.connack_string, "mosquitto_connack_string") &&
	       take(lib, m.topic_matches_sub, "mosquitto_topic_matches_sub") &&
	       take(lib, m.ssl_get, "mosquitto_ssl_get");
}

// A library built without TLS has none of these; the bus then does
// without their words.
void take_openssl(void *lib, Mosq &m)
{
	take(lib, m.tls_client_method, "TLS_client_method");
	take(lib, m.ssl_ctx_new, "SSL_CTX_new");
	take(lib, m.ssl_ctx_load_verify_locations, "SSL_CTX_load_verify_locations");
	take(lib, m.ssl_ctx_free, "SSL_CTX_free");
	take(lib, m.ssl_get_verify_result, "SSL_get_verify_result");
	take(lib, m.x509_verify_cert_error_string, "X509_verify_cert_error_string");
}

} // namespace

const Mosq *mosq_load(const char **why)
{
	static Mosq table;
	static const char *failed = nullptr;
	static char loader_says[256];  // dlerror()'s text lasts only to the next call
	static std::once_flag once;
	std::call_once(once, [] {
		// Its symbols stay its own; those it depends on, OpenSSL's among
		// them, are found through its handle.
		void *lib = dlopen(mosq_soname, RTLD_NOW | RTLD_LOCAL);
		if (!lib) {
			std::snprintf(loader_says, sizeof loader_says, "%s", dlerror());
			failed = loader_says;
			return;
		}
		if (!take_mosquitto(lib, table)) {
			failed = "a libmosquitto without a function the daemon calls";
			return;
		}
		take_openssl(lib, table);
		table.lib_init();
	});
	*why = failed;
	return failed ? nullptr : &table;
}
