#!/usr/bin/perl
# gen.pl BYTES VARIANT: writes about BYTES bytes of indented text to standard
# output, the same every time. VARIANT: lf, crlf, or long (LF, with a few
# lines of over 100 KiB).
use strict;
use warnings;

my ($bytes, $variant) = @ARGV;
die "usage: gen.pl BYTES lf|crlf|long\n" unless defined $variant && $variant =~ /^(lf|crlf|long)$/;
srand(42);
binmode STDOUT;
my @words = qw(alpha beta gamma delta return total int for while if else the of value index);
my $eol = $variant eq 'crlf' ? "\r\n" : "\n";
my $size = 0;
while ($size < $bytes) {
    my $line;
    if ($variant eq 'long' && rand() < 0.0005) {
        $line = ' ' x 8 . join(' ', map { $words[rand @words] } 1 .. 20000);
    } else {
        $line = ' ' x (4 * int(rand 6)) . (rand() < 0.1 ? "\t" : '')
              . join(' ', map { $words[rand @words] } 0 .. int(rand 8));
    }
    $line .= $eol;
    print $line;
    $size += length $line;
}
