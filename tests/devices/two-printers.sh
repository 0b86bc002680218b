echo "-- two printers print at once"
n=$(connections_of p)
start_sink q 9102
add_printer q 9102
print_job p "$pdf3" application/pdf copies=2 >/dev/null &
print_job q "$pdf3" application/pdf sides=two-sided-short-edge >/dev/null
wait $!
n=$((n + 1))
expect "printer p" "$(records "$(stream p $n)")" "10 10 00 00 00 01"
expect "printer q" "$(records "$(stream q 1)") $(setting Duplex)" "10 00 00 01 DuplexTumble"
