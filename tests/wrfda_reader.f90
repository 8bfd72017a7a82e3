! Reads a WRFDA radar observation file with the read statements and formats
! of WRFDA's radar reader and prints every value it gets, doubles with 17
! significant digits: R lines per radar, C per column, L per level.
program wrfda_reader
    implicit none
    integer, parameter :: r8 = selected_real_kind(15)
    character(len=256) :: fname
    character(len=120) :: line
    character(len=5) :: radar
    character(len=12) :: rname, platform
    character(len=19) :: rdate, date
    real(r8) :: rlon, rlat, relv, lat, lon, elv, h, rv, rv_err, rf, rf_err
    integer :: nrad, numobs, maxlev, levs, rv_qc, rf_qc, fm, ir, io, k
    integer :: yy, mo, dd, hh, mi

    call get_command_argument(1, fname)
    open (10, file=trim(fname), form='formatted', status='old', access='sequential')
    read (10, '(a)') line
    read (line(15:17), '(i3)') nrad
    print '(a,1x,i0)', 'N', nrad
    read (10, '(a)')
    do ir = 1, nrad
        read (10, '(a)')
        read (10, '(a120)') line
        read (line(1:5), '(a5)') radar
        if (radar /= 'RADAR') stop 'not a RADAR line'
        read (line(8:19), '(a12)') rname
        read (line(20:27), '(f8.3)') rlon
        read (line(30:37), '(f8.3)') rlat
        read (line(40:47), '(f8.1)') relv
        read (line(50:68), '(a19)') rdate
        read (line(69:74), '(i6)') numobs
        read (line(75:80), '(i6)') maxlev
        print '(a,1x,a,1x,3es25.16e3,1x,a,2(1x,i0))', 'R', '['//rname//']', rlon, rlat, relv, &
            rdate, numobs, maxlev
        read (10, '(a)')
        read (10, '(a)')
        do io = 1, numobs
            read (10, '(A12,3X,A19,2X,2(F12.3,2X),F8.1,2X,I6)') platform, date, lat, lon, elv, levs
            read (platform(4:6), '(I3)') fm
            read (date, '(i4,4(1x,i2))') yy, mo, dd, hh, mi
            print '(a,6(1x,i0),3es25.16e3,1x,i0)', 'C', fm, yy, mo, dd, hh, mi, lat, lon, elv, levs
            do k = 1, levs
                read (10, '(3X, F12.1, 2(F12.3,I4,F12.3,2X))') h, rv, rv_qc, rv_err, rf, rf_qc, rf_err
                print '(a,2es25.16e3,1x,i0,2es25.16e3,1x,i0,es25.16e3)', 'L', h, rv, rv_qc, &
                    rv_err, rf, rf_qc, rf_err
            end do
        end do
    end do
    close (10)
end program wrfda_reader
