/* FwSetup.dll: opens the local Windows Firewall for the kit.
 *
 * Each export returns 0 on success, or a four-digit code whose thousands digit
 * names the export and the firewall generation (1/2 FWAddApp, 3/4 FWAllowExc,
 * 5/6 FWAddPort; odd = before Vista, even = Vista and later), whose hundreds
 * digit names the phase (0 argument, 1 COM and firewall objects, 2/3 existing
 * or new entry) and whose last two digits name the failing step.
 * Strings are narrow; each byte becomes the wide character of the same value. */
#ifndef FWSETUP_H
#define FWSETUP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Lets the program at imagePath (at most 260 characters) accept incoming TCP
 * connections. 0, or 1xxx / 2xxx. */
int __stdcall FWAddApp(const char* imagePath);

/* Opens TCP port (only its low 16 bits count) under the entry or rule called
 * name (at most 260 characters). 0, or 5xxx / 6xxx. */
int __stdcall FWAddPort(const char* name, int port);

/* Makes sure the firewall does not refuse every exception. 0, or 3xxx / 4xxx;
 * 4000 or more means the Vista-and-later firewall failed. */
int __stdcall FWAllowExc(void);

#ifdef __cplusplus
}
#endif

#endif
