echo "-- copies, collation, two-sided, A5L, 1200 dpi (PDF)"
n=$(connections_of p)
while read -r name settings want; do
  n=$((n + 1))
  # shellcheck disable=SC2046
  id=$(print_job p "$pdf3" application/pdf $(echo "$settings" | tr , ' '))
  got=$(records "$(stream p $n)")
  expect "$name: records" "$got" "$(echo "$want" | tr , ' ')"
  case "$name" in
    uncollated) expect "$name: copies" "$(setting copies) $(setting Collate)" "2 False" ;;
    collated) expect "$name: copies" "$(setting copies) $(setting Collate)" "2 True" ;;
    duplex) expect "$name: Duplex" "$(setting Duplex)" "DuplexNoTumble" ;;
    a5l) expect "$name: turned" "$(setting PageSize) $(setting FeedEdge) $(first_page_size)" \
      "A5 1 4758x3300" ;;
    fine) expect "$name: 1200 dpi" "$(setting Resolution) $(first_page_size)" "1200dpi 9517x13633" ;;
    manual-duplex)
      expect "$name: refused" "$(setting Duplex) $(setting InputSlot)" "None ManualTray"
      wait_job_state p "$id" completed
      grep -q "job-state-message.*one-sided" "$work/state.out" ||
        fail "$name: the job's message does not say why: $(cat "$work/state.out")"
      ;;
  esac
done <<CASES
uncollated copies=2 10,10,00,00,00,01
collated copies=2,handling=separate-documents-collated-copies 10,00,01
duplex sides=two-sided-long-edge 10,00,00,01
a5l media=iso_a5_148x210mm,feed=long-edge-first 10,00,01
fine quality=5 10,00,01
manual-duplex sides=two-sided-long-edge,source=manual 10,00,01
CASES
