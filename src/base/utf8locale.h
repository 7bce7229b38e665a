#ifndef UTF8LOCALE_H
#define UTF8LOCALE_H

// Takes a UTF-8 character type (LC_CTYPE) where the environment's locale has none (LANG unset, as
// services, containers and CI runners start programs, or "C"): the same language in UTF-8 where
// the system has it, else C.UTF-8, and sets the environment to it, so that the application object,
// which takes the locale from the environment again, finds UTF-8. Qt 6 would otherwise switch by
// itself and say so in four lines on stderr before the program's own. Call first in main: it sets
// the environment, which is safe only before any thread starts.
void takeUtf8Locale();

#endif // UTF8LOCALE_H
