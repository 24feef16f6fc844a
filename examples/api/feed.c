/* feed: feeds a table of the data provider from standard input through the client API, one
 * SNDDTA record per line, and answers the take actions the agent sends for its source by
 * running nothing: each request comes back as its own result.
 *
 *   feed [--host HOST] [--port PORT] [--udp] [--source NAME] APPL TABLE < records
 *
 * PORT defaults to QDVP_API_DPAPI_PORT, else 7600. --source names the source (TCP only: a UDP
 * session is online from its BGNINP on, before a name could be given). Exit status: 0 done, 1
 * usage, 2 a call failed (its status on standard error). */
#include <qdvp_client.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int Fail(const char *what, int status) {
  fprintf(stderr, "feed: %s: %s (%d)\n", what, qdvpc_strerror(status), status);
  return 2;
}

/* Answers every take action that waits: "ID REQ(...)..." gets "REQ(...)..." as its result. */
static int Answer(qdvpc_session *session) {
  char request[QDVPC_MAX_REQUEST];
  for (;;) {
    int rc = qdvpc_receive_request(session, request, sizeof(request));
    if (rc != QDVPC_OK) return rc;
    if (request[0] == '\0') return QDVPC_OK;
    char *text = NULL;
    unsigned long id = strtoul(request, &text, 10);
    while (*text == ' ') text++;
    rc = qdvpc_result(session, (unsigned int)id, text);
    if (rc != QDVPC_OK && rc != 85) return rc;
  }
}

int main(int argc, char **argv) {
  const char *host = "127.0.0.1", *source = NULL;
  const char *env = getenv("QDVP_API_DPAPI_PORT");
  int port = env != NULL ? atoi(env) : 7600, udp = 0, i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
    if (strcmp(argv[i], "--udp") == 0) {
      udp = 1;
    } else if (i + 1 < argc && strcmp(argv[i], "--host") == 0) {
      host = argv[++i];
    } else if (i + 1 < argc && strcmp(argv[i], "--port") == 0) {
      port = atoi(argv[++i]);
    } else if (i + 1 < argc && strcmp(argv[i], "--source") == 0) {
      source = argv[++i];
    } else {
      break;
    }
  }
  if (argc - i != 2) {
    fprintf(stderr, "usage: feed [--host HOST] [--port PORT] [--udp] [--source NAME] APPL TABLE\n");
    return 1;
  }
  qdvpc_session *session = NULL;
  int rc = qdvpc_open(host, port, udp, &session);
  if (rc != QDVPC_OK) return Fail("open", rc);
  if (source != NULL && !udp && (rc = qdvpc_set_source(session, source)) != QDVPC_OK) {
    return Fail("set source", rc);
  }
  if ((rc = qdvpc_begin_input(session, argv[i], argv[i + 1])) != QDVPC_OK) {
    return Fail("begin input", rc);
  }
  if ((rc = qdvpc_accept_requests(session, 1, 0)) != QDVPC_OK) return Fail("accept requests", rc);
  char line[QDVPC_MAX_REQUEST - 16];
  while (fgets(line, sizeof(line), stdin) != NULL) {
    if (line[0] == '\n') continue;
    if ((rc = qdvpc_send(session, line)) != QDVPC_OK) return Fail("send", rc);
    if ((rc = Answer(session)) != QDVPC_OK) return Fail("answer", rc);
  }
  if ((rc = Answer(session)) != QDVPC_OK) return Fail("answer", rc);
  if ((rc = qdvpc_end_input(session)) != QDVPC_OK) return Fail("end input", rc);
  qdvpc_close(session);
  return 0;
}
