// libmosquitto, loaded at run time and only for an MQTT zone: a zone
// without one never maps it, nor the OpenSSL it brings.  Every call of the
// bus goes through this one table.  The declarations are the library's own
// header's, so a call that does not match them does not build.
#pragma once

#include <mosquitto.h>

struct Mosq {
	decltype(&mosquitto_lib_init) lib_init;
	decltype(&mosquitto_new) new_client;
	decltype(&mosquitto_destroy) destroy;
	decltype(&mosquitto_threaded_set) threaded_set;
	decltype(&mosquitto_will_set) will_set;
	decltype(&mosquitto_username_pw_set) username_pw_set;
	decltype(&mosquitto_tls_set) tls_set;
	decltype(&mosquitto_connect_callback_set) connect_callback_set;
	decltype(&mosquitto_disconnect_callback_set) disconnect_callback_set;
	decltype(&mosquitto_publish_callback_set) publish_callback_set;
	decltype(&mosquitto_message_callback_set) message_callback_set;
	decltype(&mosquitto_log_callback_set) log_callback_set;
	decltype(&mosquitto_connect_async) connect_async;
	decltype(&mosquitto_disconnect) disconnect;
	decltype(&mosquitto_loop) loop;
	decltype(&mosquitto_socket) socket;
	decltype(&mosquitto_publish) publish;
	decltype(&mosquitto_subscribe) subscribe;
	decltype(&mosquitto_strerror) strerror;
	decltype(&mosquitto_connack_string) connack_string;
	decltype(&mosquitto_topic_matches_sub) topic_matches_sub;
	decltype(&mosquitto_ssl_get) ssl_get;

	// OpenSSL's, as libmosquitto loaded it, for the words of a failed TLS
	// check and for the CA file at start; nullptr where it has none.
	void *(*tls_client_method)();
	void *(*ssl_ctx_new)(void *method);
	int (*ssl_ctx_load_verify_locations)(void *ctx, const char *file, const char *dir);
	void (*ssl_ctx_free)(void *ctx);
	long (*ssl_get_verify_result)(const void *ssl);
	const char *(*x509_verify_cert_error_string)(long verdict);
};

// The library's versioned name: the ABI that the header describes.
inline constexpr const char *mosq_soname = "libmosquitto.so.1";

// Loads the library once and fills the table.  Returns the table, or
// nullptr with *why set to the loader's words.
const Mosq *mosq_load(const char **why);
