#!/usr/bin/perl
# gen.pl BYTES VARIANT: writes about BYTES bytes of indented text to standard
# output, the same every time. VARIANT: lf, crlf, long (LF, with a few lines
# of over 100 KiB), utf16 (LF, UTF-16LE with its byte-order mark, with a
# few words beyond ASCII), or clean (CR LF and no indentation: text that
# needs no change).
use strict;
use warnings;

my ($bytes, $variant) = @ARGV;
die "usage: gen.pl BYTES lf|crlf|long|utf16|clean\n"
  unless defined $variant && $variant =~ /^(lf|crlf|long|utf16|clean)$/;
srand(42);
binmode STDOUT;
my @words = qw(alpha beta gamma delta return total int for while if else the of value index);
# Größe, 上限 (U+4E0A holds a byte 0x0A), 値.
push @words, "gr\x{f6}\x{df}e", "\x{4e0a}\x{9650}", "\x{5024}" if $variant eq 'utf16';
my $eol = $variant =~ /^(crlf|clean)$/ ? "\r\n" : "\n";
my $indent = $variant eq 'clean' ? 0 : 4;
my $size = 0;
if ($variant eq 'utf16') {
    print "\xff\xfe";
    $size = 2;
}
while ($size < $bytes) {
    my $line;
    if ($variant eq 'long' && rand() < 0.0005) {
        $line = ' ' x 8 . join(' ', map { $words[rand @words] } 1 .. 20000);
    } else {
        $line = ' ' x ($indent * int(rand 6)) . (rand() < 0.1 ? "\t" : '')
              . join(' ', map { $words[rand @words] } 0 .. int(rand 8));
    }
    $line .= $eol;
    $line = pack('v*', map { ord } split //, $line) if $variant eq 'utf16';
    print $line;
    $size += length $line;
}
