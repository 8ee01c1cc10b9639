# fish completion for ipwhere
complete -c ipwhere -f
complete -c ipwhere -s h -l help -d 'Show the usage text'
complete -c ipwhere -l json -d 'Output results in JSON format'
complete -c ipwhere -s 4 -d 'Query IPv4 information only'
complete -c ipwhere -s 6 -d 'Query IPv6 information only'
