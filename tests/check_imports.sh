#!/bin/sh
# Fails when a shared library imports a call that aborts or writes to the
# standard streams, or exports anything outside the public prefixes.
status=0
for lib in "$@"; do
  bad=$(nm -D --undefined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' |
        grep -E -x 'abort|exit|_exit|printf|vprintf|fprintf|vfprintf|puts|fputs|putchar|putc|fputc|_IO_putc|fwrite|perror|write|writev|stdout|stderr|__printf_chk|__fprintf_chk|__vfprintf_chk|std::terminate\(\)|_ZSt9terminatev|__cxa_throw')
  if [ -n "$bad" ]; then
    echo "$lib imports: $bad"
    status=1
  fi
  exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /[TDBR]/ {print $3}' |
             grep -v -E '^(__odr_asan|__asan|__ubsan|_?ztview_|_?ztds_|ztiterator_|ztmime_|aliases$|_init$|_fini$|_edata$|_end$|__bss_start$)')
  if [ -n "$exported" ]; then
    echo "$lib exports symbols outside the interface: $exported"
    status=1
  fi
done
exit $status
