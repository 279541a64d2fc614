#include "mosq.h"

#include <cstdio>
#include <mutex>

#include <dlfcn.h>

namespace {

// Sets fn to the library's symbol name; false when there is none.
template <typename F>
bool find(void *lib, F &fn, const char *name)
{
	fn = reinterpret_cast<F>(dlsym(lib, name));
	return fn != nullptr;
}

bool find_mosquitto(void *lib, Mosq &m)
{
	return find(lib, m.lib_init, "mosquitto_lib_init") && find(lib, m.new_client, "mosquitto_new") &&
	       find(lib, m.destroy, "mosquitto_destroy") && find(lib, m.threaded_set, "mosquitto_threaded_set") &&
	       find(lib, m.will_set, "mosquitto_will_set") &&
	       find(lib, m.username_pw_set, "mosquitto_username_pw_set") &&
	       find(lib, m.tls_set, "mosquitto_tls_set") &&
	       find(lib, m.connect_callback_set, "mosquitto_connect_callback_set") &&
	       find(lib, m.disconnect_callback_set, "mosquitto_disconnect_callback_set") &&
	       find(lib, m.publish_callback_set, "mosquitto_publish_callback_set") &&
	       find(lib, m.message_callback_set, "mosquitto_message_callback_set") &&
	       find(lib, m.log_callback_set, "mosquitto_log_callback_set") &&
	       find(lib, m.connect_async, "mosquitto_connect_async") &&
	       find(lib, m.disconnect, "mosquitto_disconnect") && find(lib, m.loop, "mosquitto_loop") &&
	       find(lib, m.socket, "mosquitto_socket") && find(lib, m.publish, "mosquitto_publish") &&
	       find(lib, m.subscribe, "mosquitto_subscribe") && find(lib, m.strerror, "mosquitto_strerror") &&
	       find(lib, m.connack_string, "mosquitto_connack_string") &&
	       find(lib, m.topic_matches_sub, "mosquitto_topic_matches_sub") &&
	       find(lib, m.ssl_get, "mosquitto_ssl_get");
}

// A library built without TLS has none of these; the bus then does
// without their words.
void find_openssl(void *lib, Mosq &m)
{
	find(lib, m.tls_client_method, "TLS_client_method");
	find(lib, m.ssl_ctx_new, "SSL_CTX_new");
	find(lib, m.ssl_ctx_load_verify_locations, "SSL_CTX_load_verify_locations");
	find(lib, m.ssl_ctx_free, "SSL_CTX_free");
	find(lib, m.ssl_get_verify_result, "SSL_get_verify_result");
	find(lib, m.x509_verify_cert_error_string, "X509_verify_cert_error_string");
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
		if (!find_mosquitto(lib, table)) {
			failed = "a libmosquitto without a function the daemon calls";
			return;
		}
		find_openssl(lib, table);
		table.lib_init();
	});
	*why = failed;
	return failed ? nullptr : &table;
}
