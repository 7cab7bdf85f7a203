/*
 * The seven system-specific values that describe this machine, and the
 * configuration that selects how the three hardware values are read.
 */
#ifndef HOSTSEAL_SSVS_H
#define HOSTSEAL_SSVS_H

#ifdef __cplusplus
extern "C" {
#endif

enum { SSVS_COUNT = 7 };

/* Set once by the JNI layer before the first gathering; never freed. */
extern char *hardwareInfoMode;
extern char *pathToBoardProbe;
extern char *pathToSysInfoSocket;

/* Fills a zeroed set of seven strdup'ed texts. Returns 0 or an errno value;
 * on failure the three hardware entries are released and null. */
int __getSSVS(int flag, char **values);
void __freeSSVS(char **values);

int get_sysname(char *buffer);
int get_hostname(char *buffer);
int get_totalswap(char *buffer);
int get_mac_address(char *buffer);

int get_hardware_info_using_fork(char **hardware);
int get_hardware_info_using_socket(char **hardware);
int get_hardware_info_using_call(char **hardware);

int shutdownUnixSocketServer(void);

#ifdef __cplusplus
}
#endif

#endif
