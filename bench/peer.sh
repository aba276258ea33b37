# What a user would write instead of pmsensor in the shell: stty sets the line,
# od reads ten bytes as numbers, awk decodes and prints.
dev=$1
stty -F "$dev" 9600 cs8 -parenb -cstopb -icanon -echo -echoe -isig -ixon -ixoff -ixany \
    -inlcr -icrnl -opost min 1 time 0 &&
    od -An -v -tu1 -N10 "$dev" |
    awk '{ printf "PM2.5:%f PM10:%f\n", ($4 * 256 + $3) / 10, ($6 * 256 + $5) / 10 }'
