#!/bin/sh
# Checks that the shared library exports the library's functions and nothing
# else: every defined dynamic symbol must be one of the thirteen, and each of
# them must be there.
set -eu
lib="$1"
syms=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
allowed="rendrix_all rendrix_cleanup rendrix_free_buffer rendrix_init rendrix_last_error
rendrix_page rendrix_page_count rendrix_page_memory rendrix_doc_open rendrix_doc_page_count
rendrix_doc_page_memory rendrix_doc_page_info rendrix_doc_close"
status=0
for s in $syms; do
  case " $(echo $allowed) " in
    *" $s "*) ;;
    *) echo "unexpected exported symbol: $s"; status=1 ;;
  esac
done
for s in $allowed; do
  echo "$syms" | grep -qx "$s" || { echo "missing export: $s"; status=1; }
done
[ "$status" -eq 0 ] && echo "exports ok: $(echo $syms)"
exit $status
